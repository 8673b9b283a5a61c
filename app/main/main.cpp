// pmrface: the bridge between the face terminal and the school's cloud portal.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/main/form.h"
#include "app/single_instance.h"
#include "ui/headless/headless_window.h"

int main(int argc, char** argv) {
  using namespace pmr;
  // A second start only wakes the first and never reads its command line.
  std::optional<app::SingleInstance> instance(std::in_place);
  if (instance->AlreadyRunning()) {
    instance->WakeFirst();
    return 0;
  }

  const char* ui_choice = std::getenv("PMRFACE_UI");
  if (ui_choice && *ui_choice && std::string(ui_choice) != "headless") {
    std::fprintf(stderr, "pmrface: the %s window is not part of this build; using headless\n",
                 ui_choice);
  }
  ui::headless::HeadlessWindow window({.output = {}, .read_stdin = true});

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
  if (!clean) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  form.reset();
  return 0;
}
