#include "app/main/form.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "gateway/testing/gateway_fakes.h"
#include "net/socket.h"
#include "net/testing/ftp_test_servers.h"
#include "terminal/testing/terminal_fakes.h"
#include "ui/headless/headless_window.h"

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int64_t kNowMs = 1600000000000;

class FormTest : public ::testing::Test {
 protected:
  FormTest()
      : window_({.output = [](const std::string&) {}, .read_stdin = false}),
        ftp_(ftp_root_.path(), "pw"),
        clock_(EventTimeFromUnixMs(kNowMs)) {
    net::testing::WriteFile(ftp_root_.path() / "a.jpg", std::string(3000, 'P'));
    net::testing::WriteFile(ftp_root_.path() / "b.jpg", std::string(4000, 'Q'));
    // Start-up places desktop entries under HOME: keep them in the test's own folder.
    const std::string home = (install_.path() / "home").string();
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    FormOptions options;
    options.program_file = install_.path() / "bin" / "pmrface";
    options.program_files = install_.path().string();
    options.callback_address = "127.0.0.1";
    options.callback_port = 0;
    options.page_port = 0;
    options.portal_host = portal_.host();
    options.clock = &clock_;
    form_.emplace(window_, options);
    form_->Timer1().Disarm();  // no binding against the fake portal
  }

  // Runs the window's loop on this thread while `body` runs on another, then ends the loop.
  void RunWhile(std::function<void()> body) {
    std::thread worker([&] {
      body();
      window_.Quit();
    });
    window_.Run();
    worker.join();
  }

  std::string Callback(const std::string& json) {
    // The terminal posts its JSON as a raw body; a GET-less raw socket would do the same.
    net::Socket s = net::Socket::Connect("127.0.0.1", form_->CallbackPort(), 5s);
    s.SendAll("POST /index.html HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
              std::to_string(json.size()) + "\r\n\r\n" + json);
    std::string reply;
    char buffer[4096];
    while (std::size_t n = s.Receive(buffer, sizeof buffer)) reply.append(buffer, n);
    return reply.substr(reply.find("\r\n\r\n") + 4);
  }

  std::string Event(const std::string& person, const std::string& file) {
    return "{\"personId\":\"" + person +
           "\",\"type\":\"face_0\",\"path\":\"ftp://anonymous:pw@127.0.0.1:" +
           std::to_string(ftp_.port()) + "/" + file + "\",\"time\":" + std::to_string(kNowMs) + "}";
  }

  net::testing::TempFolder install_, ftp_root_;
  ui::headless::HeadlessWindow window_;
  net::testing::PyFtpServer ftp_;
  gateway::testing::FakePortal portal_;
  FixedClock clock_;
  std::optional<TForm1> form_;
};

TEST_F(FormTest, StartUpReadsTheConfigurationAndBuildsTheWindow) {
  fs::create_directories(install_.path() / "kvt");
  std::ofstream(install_.path() / "kvt" / "pmrface.ini") << "[JDQFACE]\r\nFIPCAddr1=10.1.2.3\r\n";
  form_->FormCreate();
  EXPECT_EQ(window_.Title(), "青禾田识颜台");
  std::vector<std::string> log = window_.LogLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Memo1");
  EXPECT_EQ(log[1], "faceip:10.1.2.3,pass=58317094");
  EXPECT_EQ(form_->State().SchoolSP(), "");
  EXPECT_TRUE(fs::is_directory(install_.path() / "kvt" / "pic"));
}

TEST_F(FormTest, RecognitionIsStoredUploadedAndHandedToTheLiveList) {
  form_->FormCreate();
  form_->State().SetSchoolSP("SP1");
  form_->Timer4Timer();  // the binding's first pages
  EXPECT_EQ(window_.Location(ui::Pane::kMain),
            "http://" + portal_.host() + "/mosite/xykq2.html?sp=SP1");
  EXPECT_EQ(window_.Location(ui::Pane::kLeft),
            "http://" + portal_.host() + "/club/hlmbo_jdqface_now.html?sp=SP1");

  std::string reply_a, reply_b;
  RunWhile([&] {
    // Two events in quick succession: one live-list call, with the second's values.
    reply_a = Callback(Event("1001", "a.jpg"));
    reply_b = Callback(Event("1002", "b.jpg"));
    std::this_thread::sleep_for(200ms);
  });
  EXPECT_EQ(reply_a, "{\"result\":1,\"success\":true}");
  EXPECT_EQ(reply_b, "{\"result\":1,\"success\":true}");
  EXPECT_EQ(net::testing::ReadFile(form_->PictureFolder() / "a.jpg"), std::string(3000, 'P'));
  std::vector<std::string> scripts = window_.Scripts(ui::Pane::kLeft);
  ASSERT_FALSE(scripts.empty());
  EXPECT_EQ(scripts.back(),
            "ins(\"fp1002\",\"http://127.0.0.1:8091/b.jpg\",\"2020/9/13 20:26:40\")");
  EXPECT_LE(scripts.size(), 2u);
  // Exit never waits for uploads, so they are waited for here.
  for (int i = 0; i < 1000 && form_->State().PicsUploaded.load() < 2; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(form_->State().PicsUploaded.load(), 2);
  EXPECT_TRUE(fs::is_empty(form_->AppFolder() / "outbox")) << "delivered jobs are removed";
  EXPECT_TRUE(form_->Shutdown(10s));
}

TEST_F(FormTest, EventsWithinOneTimerIntervalGiveOneLiveListCall) {
  form_->FormCreate();
  form_->Timer4Timer();
  RunWhile([&] {
    // What the callback handler does for each stored picture, twice within one interval
    // (both on the UI thread's turn, so no tick can come between them however slow we are).
    window_.Post([this] {
      form_->State().SetLastPicture("fp1", "http://127.0.0.1:8091/1.jpg");
      form_->State().SetLastEventTime("t1");
      form_->Timer2().Arm();
      form_->State().SetLastPicture("fp2", "http://127.0.0.1:8091/2.jpg");
      form_->State().SetLastEventTime("t2");
      form_->Timer2().Arm();
    });
    std::this_thread::sleep_for(100ms);
  });
  EXPECT_EQ(window_.Scripts(ui::Pane::kLeft),
            std::vector<std::string>{"ins(\"fp2\",\"http://127.0.0.1:8091/2.jpg\",\"t2\")"});
}

TEST_F(FormTest, BindingWithoutSchoolCodeOpensRegistration) {
  form_->FormCreate();
  form_->State().SetSchoolHID("H9");
  form_->Timer4Timer();
  EXPECT_EQ(window_.Location(ui::Pane::kMain),
            "http://" + portal_.host() + "/kvtnet/index.html?hid=H9");
  EXPECT_EQ(window_.Location(ui::Pane::kLeft),
            "http://" + portal_.host() + "/club/hlmbo_jdqface_now.html?sp=");
}

TEST_F(FormTest, FormatClearsTheTerminalOnlyForTheExactSchoolCode) {
  terminal::testing::FakeTerminal terminal([](const std::string&, int) { return "ok"; });
  FormOptions options;
  options.program_file = install_.path() / "bin2" / "pmrface";
  options.program_files = install_.path().string();
  options.callback_address = "127.0.0.1";
  options.callback_port = 0;
  options.page_port = 0;
  options.terminal_port = terminal.Target().port;
  form_.reset();
  form_.emplace(window_, options);
  form_->Timer1().Disarm();
  form_->FormCreate();
  form_->State().SetFaceAddr("127.0.0.1");
  form_->State().SetSchoolSP("Sp7");
  RunWhile([&] {
    for (const char* code : {"sp7", "", "Sp7"}) {
      window_.Command("menu N6");
      window_.Command("answer");  // OK in the confirmation box
      window_.Command(std::string("answer ") + code);
      std::this_thread::sleep_for(100ms);
    }
    for (int i = 0; i < 100 && terminal.Calls().empty(); ++i) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(100ms);
  });
  ASSERT_EQ(terminal.Paths(), std::vector<std::string>{"/person/delete"});
  EXPECT_NE(terminal.Calls()[0].body.find("id=%2D1"), std::string::npos);
}

TEST_F(FormTest, OnlyAFirstArgumentOfExactlyDashSStartsHidden) {
  for (const auto& [args, hidden] : std::vector<std::pair<std::vector<std::string>, bool>>{
           {{"-s"}, true}, {{"-S"}, false}, {{"20"}, false}, {{"x", "-s"}, false}, {{}, false}}) {
    ui::headless::HeadlessWindow window({.output = [](const std::string&) {}, .read_stdin = false});
    FormOptions options;
    options.arguments = args;
    options.program_file = install_.path() / "bin" / "pmrface";
    options.program_files = install_.path().string();
    options.callback_address = "127.0.0.1";
    options.callback_port = 0;
    options.page_port = 0;
    TForm1 form(window, options);
    form.Timer1().Disarm();
    form.FormCreate();
    std::thread stopper([&] {
      std::this_thread::sleep_for(50ms);
      window.Quit();
    });
    window.Run();
    stopper.join();
    EXPECT_EQ(!window.IsVisible(), hidden) << (args.empty() ? "(none)" : args.front());
    EXPECT_EQ(window.HasTrayIcon(), hidden);
  }
}

TEST_F(FormTest, LeftPaneLinksOpenInTheMainPane) {
  form_->FormCreate();
  window_.Command("navigate left http://p/club/xgo.html?sp=1");
  window_.Command("navigate left http://p/club/index_jdq_s.html?cardid=fp1");
  RunWhile([] { std::this_thread::sleep_for(100ms); });
  EXPECT_EQ(window_.Location(ui::Pane::kMain), "http://p/club/index_jdq_s.html?cardid=fp1");
  EXPECT_EQ(window_.Location(ui::Pane::kLeft), "");
}

TEST_F(FormTest, CloseAndMinimiseHideOnlyExitEnds) {
  form_->FormCreate();
  bool allow = true;
  form_->FormClose(allow);
  EXPECT_FALSE(allow);
  form_->HandleSystemMinimize();
  EXPECT_FALSE(window_.IsVisible());
  EXPECT_TRUE(window_.HasTrayIcon());
  form_->HandleTrayMessage(ui::TrayButton::kOther);
  EXPECT_FALSE(window_.IsVisible());
  form_->HandleTrayMessage(ui::TrayButton::kLeft);
  EXPECT_TRUE(window_.IsVisible());
  EXPECT_FALSE(window_.HasTrayIcon());
  form_->State().ExitRequested = true;
  allow = true;
  form_->FormClose(allow);
  EXPECT_TRUE(allow);
}

}  // namespace
}  // namespace pmr::app
