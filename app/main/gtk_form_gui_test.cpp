// The GTK window on a real X server (Xvfb) with real WebKit views, against pages that a
// loopback HTTP server of the test serves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "app/main/form.h"
#include "app/main/testing/loopback_form.h"
#include "net/http_server.h"
#include "ui/gtk/gtk_window.h"

namespace pmr::ui::gtk {
namespace {
namespace fs = std::filesystem;

const char* kLiveList =
    "<html><head><meta charset='utf-8'></head><body><table id='t'></table>"
    "<a id='pts' href='/club/index_jdq_s.html?sp=S1&amp;hid=H1'>积分</a>"
    "<a id='caps' href='/club/INDEX_JDQ_S.html'>caps</a>"
    "<a id='blank' target='_blank' href='/club/xgo.html?sp=S1'>xgo</a>"
    "<iframe id='f' src='about:blank'></iframe>"
    "<script>function ins(c,p,t){var r=document.getElementById('t').insertRow(-1);"
    "r.insertCell(0).textContent=c;r.insertCell(1).textContent=p;"
    "r.insertCell(2).textContent=t;}</script></body></html>";

// Serves the live list page for every path; the page's address tells the panes apart.
class PortalPages {
 public:
  PortalPages() : server_(0) {
    server_.Bindings.push_back({"127.0.0.1", 0});
    server_.OnCommandGet = [](net::TPeerThread&, net::THTTPRequestInfo& request,
                              net::THTTPResponseInfo& response) {
      response.ContentType = "text/html; charset=utf-8";
      response.ContentText =
          request.Document.find("jdqface_now") != std::string::npos
              ? kLiveList
              : "<html><body><h1 id='h'>" + request.Document + "</h1></body></html>";
    };
    server_.SetActive(true);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(server_.ListeningPort()); }

 private:
  net::THTTPServer server_;
};

bool WaitFor(GtkMainWindow& window, const std::function<bool()>& done, int ms = 15000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    window.Pump(20);
  }
  return true;
}

// Waits until the pane's document (not only its address) is the page of `marker`, loaded.
bool Loaded(GtkMainWindow& window, Pane pane, const std::string& marker) {
  const std::string check =
      "document.readyState == 'complete' && location.href.indexOf('" + marker + "') >= 0";
  return WaitFor(window, [&] {
    try {
      return window.EvaluateScript(pane, check) == "true";
    } catch (const ScriptError&) {
      return false;
    }
  });
}

// A stand-in program of the build (tools/...), its output in a file; ended with the test.
class StandIn {
 public:
  StandIn(const fs::path& folder, const std::string& name, std::vector<std::string> args)
      : log_(folder / (name + ".log")), ready_(folder / (name + ".ready")) {
    args.insert(args.begin(), std::string(PMR_BINARY_DIR) + "/tools/" + name + "/" + name);
    args.push_back("--ready");
    args.push_back(ready_.string());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~StandIn() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::kill(pid_, 0) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The first port the program wrote to its ready file; 0 when it did not come up in time.
  int Port() const {
    for (int i = 0; pid_ > 0 && i < 400; ++i) {
      std::ifstream in(ready_);
      int port = 0;
      if (in >> port) return port;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  std::string Output() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  fs::path log_, ready_;
  pid_t pid_ = -1;
};

// A user's click with the pointer (XTest) on the centre of an element of a pane's page.
bool ClickElement(GtkMainWindow& window, Pane pane, const std::string& selector) {
  const std::string rect = window.EvaluateScript(
      pane, "(function(){var r=document.querySelector('" + selector +
                "').getBoundingClientRect();return Math.round(r.left+r.width/2)+' '+"
                "Math.round(r.top+r.height/2);})()");
  int x = 0, y = 0;
  std::istringstream(rect) >> x >> y;
  GtkWidget* view = static_cast<GtkWidget*>(window.NativePane(pane));
  GtkWidget* top = gtk_widget_get_toplevel(view);
  int wx = 0, wy = 0, ox = 0, oy = 0;
  if (!gtk_widget_translate_coordinates(view, top, x, y, &wx, &wy)) return false;
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  const std::string command = "xdotool mousemove --sync " + std::to_string(ox + wx) + " " +
                              std::to_string(oy + wy) + " click 1";
  return std::system(command.c_str()) == 0;
}

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GtkAvailable()) GTEST_SKIP() << "no display (run under xvfb-run)";
  }
};

// TForm1 on the GTK window: the first pages, the left pane's ins and its links.
TEST_F(GtkWindowTest, FormOpensPortalPagesAndTheLeftPaneHandsLinksToTheMainPane) {
  PortalPages portal;
  fs::path install = fs::temp_directory_path() / ("pmr_gtk_" + std::to_string(::getpid()));
  fs::create_directories(install / "bin");
  ::setenv("HOME", install.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (install / "config").c_str(), 1);

  GtkMainWindow window({.echo = false, .use_tray = false});
  app::FormOptions options = app::testing::LoopbackFormOptions(install, "pmrface", portal.host());
  app::TForm1 form(window, options);
  form.Timer1().Disarm();
  form.FormCreate();
  window.Show();

  form.State().SetSchoolSP("S1");
  form.State().SetSchoolHID("H1");
  form.Timer4().Arm();
  ASSERT_TRUE(Loaded(window, Pane::kLeft, "/club/hlmbo_jdqface_now.html?sp=S1"))
      << window.Location(Pane::kLeft);
  ASSERT_TRUE(Loaded(window, Pane::kMain, "/mosite/xykq2.html?sp=S1"))
      << window.Location(Pane::kMain);

  // A recognition's values reach the page's ins and show as a row.
  form.State().SetLastCardId("fp1001");
  form.State().SetLastPicUrl("http://127.0.0.1:8091/a.jpg");
  form.State().SetLastEventTime("2026/12/9 13:13:29");
  form.Timer2().Arm();
  ASSERT_TRUE(WaitFor(window, [&] {
    return window.EvaluateScript(Pane::kLeft, "document.getElementById('t').rows.length") == "1";
  }));
  EXPECT_EQ(window.EvaluateScript(Pane::kLeft, "document.getElementById('t').rows[0].innerText"),
            "fp1001\thttp://127.0.0.1:8091/a.jpg\t2026/12/9 13:13:29");

  const std::string shot = std::string(PMR_BINARY_DIR) + "/screenshot-gtk.png";
  window.Pump(500);
  EXPECT_EQ(std::system(("import -window root " + shot + " 2>/dev/null").c_str()), 0);

  // A script error is the page's, reported as ScriptError.
  EXPECT_THROW(window.RunScript(Pane::kLeft, "throw new Error('boom')"), ScriptError);

  // A points link opens in the main pane; the left pane keeps its page.
  window.EvaluateScript(Pane::kLeft, "document.getElementById('pts').click()");
  ASSERT_TRUE(Loaded(window, Pane::kMain, "/club/index_jdq_s.html?sp=S1&hid=H1"))
      << window.Location(Pane::kMain);
  EXPECT_NE(window.Location(Pane::kLeft).find("hlmbo_jdqface_now"), std::string::npos);
  EXPECT_EQ(window.EvaluateScript(Pane::kLeft, "document.getElementById('t').rows.length"), "1");

  // target=_blank and window.open go through the same rule: the smart-school page opens in
  // the main pane.
  window.EvaluateScript(Pane::kLeft, "document.getElementById('blank').click()");
  ASSERT_TRUE(Loaded(window, Pane::kMain, "/club/xgo.html?sp=S1")) << window.Location(Pane::kMain);
  window.EvaluateScript(Pane::kLeft, "window.open('/club/xgo.html?sp=W'); 1");
  ASSERT_TRUE(Loaded(window, Pane::kMain, "/club/xgo.html?sp=W")) << window.Location(Pane::kMain);
  EXPECT_NE(window.Location(Pane::kLeft).find("hlmbo_jdqface_now"), std::string::npos);

  // A frame's navigation is seen too: the frame stays, the main pane goes.
  window.EvaluateScript(Pane::kLeft,
                        "document.getElementById('f').src='/club/index_jdq_s.html?sp=F'");
  ASSERT_TRUE(Loaded(window, Pane::kMain, "/club/index_jdq_s.html?sp=F"))
      << window.Location(Pane::kMain);
  EXPECT_EQ(window.EvaluateScript(Pane::kLeft,
                                  "document.getElementById('f').contentWindow.location.href"),
            "about:blank");

  // Another spelling stays in the left pane.
  window.EvaluateScript(Pane::kLeft, "document.getElementById('caps').click()");
  ASSERT_TRUE(Loaded(window, Pane::kLeft, "INDEX_JDQ_S")) << window.Location(Pane::kLeft);
  form.Shutdown(std::chrono::milliseconds(500));
  fs::remove_all(install);
}

// The portal stand-in's live list in the left pane, clicked with the pointer: its capture
// button goes through the form's page API to the terminal stand-in and the page shows the
// terminal's answer; its points link opens in the main pane while the list stays.
TEST_F(GtkWindowTest, StandInLiveListButtonsAndLinksClickedWithThePointer) {
  if (std::system("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "no xdotool";
  fs::path install = fs::temp_directory_path() / ("pmr_gtk_click_" + std::to_string(::getpid()));
  fs::create_directories(install / "bin");
  fs::create_directories(install / "pictures");
  ::setenv("HOME", install.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (install / "config").c_str(), 1);
  {
    StandIn terminal(install, "terminal_sim",
                     {"--address", "127.0.0.1", "--http-port", "0", "--ftp-port", "0", "--pictures",
                      (install / "pictures").string()});
    StandIn portal(install, "portal_sim",
                   {"--listen", "127.0.0.1:0", "--store", (install / "store").string(), "--sp",
                    "S1", "--hid", "H1"});
    const int terminal_port = terminal.Port();
    const int portal_port = portal.Port();
    ASSERT_GT(terminal_port, 0) << terminal.Output();
    ASSERT_GT(portal_port, 0) << portal.Output();

    GtkMainWindow window({.echo = false, .use_tray = false});
    app::FormOptions options = app::testing::LoopbackFormOptions(
        install, "pmrface", "127.0.0.1:" + std::to_string(portal_port));
    options.terminal_port = terminal_port;
    app::TForm1 form(window, options);
    form.Timer1().Disarm();
    form.FormCreate();
    form.State().SetFaceAddr("127.0.0.1");
    form.State().SetSchoolSP("S1");
    form.State().SetSchoolHID("H1");
    window.Show();
    window.Pump(300);

    // The page API of this form rather than the fixed port another program may hold.
    const std::string live = "http://" + options.portal_host +
                             "/club/hlmbo_jdqface_now.html?sp=S1&api=http://127.0.0.1:" +
                             std::to_string(form.PagePort());
    window.Navigate(Pane::kLeft, live);
    ASSERT_TRUE(Loaded(window, Pane::kLeft, "hlmbo_jdqface_now")) << window.Location(Pane::kLeft);
    ASSERT_TRUE(WaitFor(window, [&] {
      return window.EvaluateScript(
                 Pane::kLeft, "document.getElementById('status').getAttribute('data-ready')") ==
             "1";
    }));
    window.EvaluateScript(Pane::kLeft, "document.getElementById('pid').value='4242'; 1");

    ASSERT_TRUE(ClickElement(window, Pane::kLeft, "#btn-takeimg"));
    std::string reply;
    EXPECT_TRUE(WaitFor(window, [&] {
      reply = window.EvaluateScript(Pane::kLeft, "document.getElementById('apimsg').textContent");
      return !reply.empty();
    })) << terminal.Output();
    EXPECT_NE(reply.find("正在开启自动拍照模式"), std::string::npos) << reply;
    const std::string seen = terminal.Output();
    const std::size_t created = seen.find("/person/create");
    const std::size_t take = seen.find("/face/takeImg");
    EXPECT_NE(created, std::string::npos) << seen;
    EXPECT_NE(take, std::string::npos) << seen;
    EXPECT_LT(created, take) << "the person exists before the picture is taken";
    EXPECT_NE(seen.find("personId=4242", take), std::string::npos) << seen;

    ASSERT_TRUE(ClickElement(window, Pane::kLeft, "a[href*=\"index_jdq_s\"]"));
    EXPECT_TRUE(Loaded(window, Pane::kMain, "/club/index_jdq_s.html?sp=S1"))
        << window.Location(Pane::kMain);
    EXPECT_EQ(window.Location(Pane::kLeft), live);
    EXPECT_EQ(window.EvaluateScript(Pane::kLeft, "document.getElementById('apimsg').textContent"),
              reply)
        << "the left page was not reloaded";
    form.Shutdown(std::chrono::milliseconds(500));
  }
  fs::remove_all(install);
}

}  // namespace
}  // namespace pmr::ui::gtk
