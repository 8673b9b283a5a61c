// The headless window driven the way end-to-end tests drive the bridge: text commands in,
// output lines out, with the modal boxes and panes behaving as the handlers expect.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ui/headless/headless_window.h"
#include "ui/headless/test_support.h"
#include "ui/testing/form_menu.h"

namespace pmr::ui::headless {
namespace {

using namespace std::chrono_literals;

class CommandsTest : public ::testing::Test {
 protected:
  // Feeds the commands, then quits, and runs the loop to the end.
  void RunCommands(const std::vector<std::string>& commands) {
    for (const std::string& c : commands) window_.Command(c);
    window_.Post([this] { window_.Quit(); });
    testing::Watchdog watchdog(window_);
    window_.Run();
  }

  void BuildMenu() { window_.SetMenu(ui::testing::FormMenu(clicked_)); }

  testing::Output output_;
  HeadlessWindow window_{{.output = output_.Sink()}};
  std::vector<std::string> clicked_;
};

TEST_F(CommandsTest, MenuItemsByNameOrCaptionAndBadCommandsAreReported) {
  BuildMenu();
  RunCommands({"menu N2", "menu 退出", "menu  考勤 ", "menu N1", "menu N7", "menu", "bogus 1", "",
               "menu N4"});
  EXPECT_EQ(clicked_, (std::vector<std::string>{"N2", "N8", "N9", "N4"}));
  EXPECT_TRUE(
      output_.Has("menu: 积分=N4 考勤=N9 智校=N10 设置=N1 [识颜台设置=N2 学校注册=N3 | "
                  "格式化识颜台=N6 | 退出=N8]"));
  EXPECT_TRUE(output_.Has("error: no menu item N7"));
  EXPECT_TRUE(output_.Has("error: menu needs an item's name or caption"));
  EXPECT_TRUE(output_.Has("error: unknown command: bogus"));
}

TEST_F(CommandsTest, AMenuItemMayRebuildTheMenuFromItsOwnClick) {
  MenuItem rebuild;
  rebuild.caption = "重建";
  rebuild.name = "N5";
  rebuild.on_click = [this, text = std::string(1000, 'x')] {
    window_.SetMenu({});  // frees the item whose click runs now
    clicked_.push_back(text.substr(0, 1));
  };
  window_.SetMenu({rebuild});
  RunCommands({"menu N5", "menu N5"});
  EXPECT_EQ(clicked_, std::vector<std::string>{"x"});
  EXPECT_TRUE(output_.Has("error: no menu item N5"));
}

TEST_F(CommandsTest, InputBoxGivesTheAnswerOrTheDefaultAndKeepsTheLoopRunning) {
  std::vector<std::string> results;
  std::atomic<int> ticks_during_box{0};
  Timer& timer = window_.CreateTimer(1ms, [&] { ++ticks_during_box; });
  window_.Post([&] {
    timer.Arm();
    results.push_back(window_.InputBox("设置IP地址", "输入识颜台IP地址           ", "10.0.0.9"));
    results.push_back(window_.InputBox("操作确认", "输入操作码           ", ""));
    results.push_back(window_.InputBox("c", "p", "keep"));
    window_.Quit();
  });
  // The answers arrive while the boxes are open, from another thread.
  std::thread user([&] {
    ASSERT_TRUE(output_.WaitFor(
        "inputbox: \"设置IP地址\" \"输入识颜台IP地址           \" \"10.0.0.9\"", 5s));
    for (int i = 0; i < 500 && ticks_during_box == 0; ++i) std::this_thread::sleep_for(10ms);
    window_.Command("answer 192.168.1.20");
    ASSERT_TRUE(output_.WaitFor("inputbox: \"操作确认\" \"输入操作码           \" \"\"", 5s));
    window_.Command("answer  with  spaces ");
    ASSERT_TRUE(output_.WaitFor("inputbox: \"c\" \"p\" \"keep\"", 5s));
    window_.Command("cancel");
  });
  testing::Watchdog watchdog(window_);
  window_.Run();
  user.join();
  EXPECT_EQ(results, (std::vector<std::string>{"192.168.1.20", " with  spaces ", "keep"}));
  EXPECT_EQ(ticks_during_box.load(), 1) << "the timer ticks while the box is open";
  EXPECT_TRUE(output_.Has("inputbox result: keep"));
}

TEST_F(CommandsTest, ConfirmBoxAnswersAndAQuitWhileABoxIsOpenCancelsIt) {
  std::vector<std::string> results;
  BuildMenu();
  window_.Post([&] {
    results.push_back(window_.ConfirmBox("确认清除人脸机所有数据吗？", "确认") ? "ok" : "cancel");
    results.push_back(window_.ConfirmBox("again", "确认") ? "ok" : "cancel");
    results.push_back(window_.InputBox("c", "p", "default") + "!");
  });
  // Commands queued behind the first box run inside its nested loop.
  window_.Command("menu N2");  // the window is behind a modal box
  window_.Command("answer");
  window_.Command("cancel");
  window_.Post([&] { window_.Quit(); });  // the input box is open then
  testing::Watchdog watchdog(window_);
  window_.Run();
  EXPECT_EQ(results, (std::vector<std::string>{"ok", "cancel", "default!"}));
  EXPECT_TRUE(clicked_.empty());
  EXPECT_TRUE(output_.Has("error: menu: a modal box is open"));
  EXPECT_TRUE(output_.Has("confirmbox: \"确认\" \"确认清除人脸机所有数据吗？\""));
}

TEST_F(CommandsTest, AnswerWithoutAnOpenBoxIsAnError) {
  RunCommands({"answer 1", "cancel"});
  std::vector<std::string> lines = output_.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "error: no box is open"), 2);
}

TEST_F(CommandsTest, BeforeNavigateCancelKeepsTheOldLocationAndSeesFrames) {
  std::vector<std::string> seen;
  window_.SetBeforeNavigateHandler(Pane::kLeft, [&](const std::string& url, bool& cancel) {
    seen.push_back(url);
    if (url.find("xgo") != std::string::npos) {
      window_.Navigate(Pane::kMain, url);
      cancel = true;
    }
  });
  window_.Navigate(Pane::kLeft, "http://h/club/hlmbo_jdqface_now.html?sp=");
  RunCommands({"navigate left http://h/club/xgo.html?sp=1", "location main",
               "frame left http://h/ad.html", "frame left http://h/xgo.html", "location left",
               "navigate up http://x", "location"});
  EXPECT_EQ(window_.Location(Pane::kLeft), "http://h/club/hlmbo_jdqface_now.html?sp=");
  EXPECT_EQ(window_.Location(Pane::kMain), "http://h/xgo.html");
  EXPECT_EQ(window_.Navigations(Pane::kLeft),
            std::vector<std::string>{"http://h/club/hlmbo_jdqface_now.html?sp="});
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_TRUE(output_.Has("navigate[left]: http://h/club/xgo.html?sp=1 (cancelled)"));
  EXPECT_TRUE(output_.Has("frame[left]: http://h/ad.html"));
  EXPECT_TRUE(output_.Has("location[left]: http://h/club/hlmbo_jdqface_now.html?sp="));
  EXPECT_TRUE(output_.Has("location[main]: http://h/club/xgo.html?sp=1"));
  EXPECT_TRUE(output_.Has("error: navigate needs main|left and a URL"));
  EXPECT_TRUE(output_.Has("error: location needs main or left"));
}

TEST_F(CommandsTest, RunScriptFailsUntilThePaneHasADocument) {
  EXPECT_THROW(window_.RunScript(Pane::kLeft, "ins(\"fp1\",\"u\",\"t\")"), ScriptError);
  window_.Navigate(Pane::kMain, "http://h/main.html");  // the other pane does not count
  EXPECT_THROW(window_.RunScript(Pane::kLeft, "ins()"), ScriptError);
  window_.Navigate(Pane::kLeft, "http://h/list.html");
  window_.RunScript(Pane::kLeft, "ins(\"fp1001\",\"http://127.0.0.1:8091/a.jpg\",\"t\")");
  EXPECT_EQ(window_.Scripts(Pane::kLeft),
            std::vector<std::string>{"ins(\"fp1001\",\"http://127.0.0.1:8091/a.jpg\",\"t\")"});
  EXPECT_TRUE(output_.Has("script[left] failed: ins()"));
}

TEST_F(CommandsTest, WindowEventsReachTheirHandlersOnlyWhenTheUserCouldCauseThem) {
  std::vector<std::string> events;
  window_.SetMinimizeHandler([&] {
    events.push_back("minimize");
    window_.AddTrayIcon("青禾田勤星册");
    window_.Hide();
  });
  window_.SetTrayClickHandler([&](TrayButton b) {
    events.push_back(b == TrayButton::kLeft ? "left" : "other");
    if (b != TrayButton::kLeft) return;
    window_.RemoveTrayIcon();
    window_.Show();
  });
  window_.SetActivateHandler([&] { events.push_back("activate"); });
  int closes = 0;
  window_.SetCloseHandler([&](bool& allow) { allow = ++closes > 1; });
  window_.Command("tray-click");  // no icon yet
  window_.Command("minimize");
  window_.Command("minimize");  // hidden: the button cannot be reached
  window_.Command("menu N4");
  window_.Command("tray-click right");
  window_.Command("tray-click middle");
  window_.Command("activate");
  window_.Command("tray-click left");
  window_.Command("close");  // refused by the handler
  window_.Command("close");  // allowed: the loop ends
  window_.Command("activate");
  testing::Watchdog watchdog(window_);
  window_.Run();
  EXPECT_EQ(events, (std::vector<std::string>{"minimize", "other", "activate", "left"}));
  EXPECT_EQ(closes, 2);
  EXPECT_FALSE(window_.HasTrayIcon());
  EXPECT_FALSE(window_.IsVisible());
  EXPECT_TRUE(output_.Has("error: tray-click: no tray icon"));
  EXPECT_TRUE(output_.Has("error: minimize: the window is hidden"));
  EXPECT_TRUE(output_.Has("error: menu: the window is hidden"));
  EXPECT_TRUE(output_.Has("error: tray-click takes left or right"));
  EXPECT_TRUE(output_.Has("tray: add 青禾田勤星册"));
  EXPECT_TRUE(output_.Has("window: close"));
}

TEST_F(CommandsTest, MemoKeepsItsLastLinesAndSplitsLineBreaks) {
  EXPECT_EQ(window_.LogLines(), std::vector<std::string>{"Memo1"});
  window_.AppendLog("faceip:,pass=58317094");
  window_.AppendLog("{\r\n\"personId\":1\n}");
  EXPECT_EQ(window_.LogLines(), (std::vector<std::string>{"Memo1", "faceip:,pass=58317094", "{",
                                                          "\"personId\":1", "}"}));
  for (int i = 0; i < 10010; ++i) window_.AppendLog("line " + std::to_string(i));
  std::vector<std::string> lines = window_.LogLines();
  ASSERT_EQ(lines.size(), kMemoMaxLines);
  EXPECT_EQ(lines.front(), "line 10");
  EXPECT_EQ(lines.back(), "line 10009");
  RunCommands({"log"});
  EXPECT_TRUE(output_.Has("memo: line 10009"));
  EXPECT_FALSE(output_.Has("memo: Memo1"));
}

TEST_F(CommandsTest, StatusPanelsAndOutputStayOneLineEach) {
  window_.SetStatus(0, "青禾田识颜台没有开启或网络故障！");
  window_.SetStatus(2, "a\nb");
  EXPECT_EQ(window_.Status(0), "青禾田识颜台没有开启或网络故障！");
  EXPECT_EQ(window_.Status(2), "a\nb");
  EXPECT_THROW(window_.SetStatus(3, "x"), Error);
  EXPECT_THROW(window_.Status(-1), Error);
  EXPECT_TRUE(output_.Has("status[0]: 青禾田识颜台没有开启或网络故障！"));
  EXPECT_TRUE(output_.Has("status[2]: a\\nb"));
}

}  // namespace
}  // namespace pmr::ui::headless
