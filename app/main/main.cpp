// pmrface: the bridge between the face terminal and the school's cloud portal.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main/form.h"
#include "app/single_instance.h"
#include "ui/headless/headless_window.h"
#ifdef PMR_HAVE_GTK
#include "ui/gtk/gtk_window.h"
#endif
#ifdef PMR_HAVE_WIN32
#include "ui/win32/browser_pane.h"
#include "ui/win32/win32_window.h"
#endif

int main(int argc, char** argv) {
  using namespace pmr;
#ifdef PMR_HAVE_WIN32
  // A GUI program: its diagnostics go to whatever standard output it was given.
  ui::win32::AttachStandardStreams();
  constexpr bool kWin32Built = true;
#else
  constexpr bool kWin32Built = false;
#endif
  // A second start only wakes the first and never reads its command line.
  std::optional<app::SingleInstance> instance(std::in_place);
  if (instance->AlreadyRunning()) {
    instance->WakeFirst();
    return 0;
  }

  const char* ui_env = std::getenv("PMRFACE_UI");
  const std::string ui_choice = ui_env ? ui_env : "";
  std::unique_ptr<ui::MainWindow> chosen;
#ifdef PMR_HAVE_GTK
  // The desktop window by default when there is a display to put it on.
  auto has_display = [] {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
      if (const char* value = std::getenv(name); value && *value) return true;
    }
    return false;
  };
  if (ui_choice == "gtk" || (ui_choice.empty() && has_display())) {
    if (ui::gtk::GtkAvailable()) {
      chosen = std::make_unique<ui::gtk::GtkMainWindow>();
    } else {
      std::fprintf(stderr, "pmrface: no display for the gtk window; using headless\n");
    }
  }
#else
  if (ui_choice == "gtk") {
    std::fprintf(stderr, "pmrface: the gtk window is not part of this build; using headless\n");
  }
#endif
#ifdef PMR_HAVE_WIN32
  // The native window by default on Windows.
  if (ui_choice.empty() || ui_choice == "win32") {
    try {
      chosen = std::make_unique<ui::win32::Win32MainWindow>(
          ui::win32::Win32WindowOptions{.pane_factory = ui::win32::CreateIeBrowserPane});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "pmrface: the win32 window failed (%s); using headless\n", e.what());
    }
  }
#endif
  if (!ui_choice.empty() && ui_choice != "headless" && ui_choice != "gtk" &&
      !(kWin32Built && ui_choice == "win32")) {
    std::fprintf(stderr, "pmrface: the %s window is not part of this build; using headless\n",
                 ui_choice.c_str());
  }
  if (!chosen) {
    chosen = std::make_unique<ui::headless::HeadlessWindow>(
        ui::headless::HeadlessOptions{.output = {}, .read_stdin = true});
  }
  ui::MainWindow& window = *chosen;

  app::FormOptions options;
  options.arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::optional<app::TForm1> form;
  try {
    form.emplace(window, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pmrface: %s\n", e.what());
    return 1;
  }
  form->FormCreate();
  instance->Listen([&window](std::function<void()> fn) { window.Post(std::move(fn)); },
                   [&form] { form->AppMessageHook(); });

  window.Run();
  // No wake-up may reach the window once it is going away.
  instance.reset();

  // Exit does not wait for long fetches or uploads: a short grace, then the process ends.
  bool clean = form->Shutdown(std::chrono::milliseconds(2000));
  std::ofstream("iphist.dat", std::ios::trunc);
  form->FlushLog(std::chrono::milliseconds(1000));
  if (!clean) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  form.reset();
  return 0;
}
