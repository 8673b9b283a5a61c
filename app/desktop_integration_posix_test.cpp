#include "app/desktop_integration.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace pmr::app {
namespace {
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A home of its own, so nothing lands on the real desktop.
class DesktopIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("pmr_desktop_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(home_); }

  fs::path Desktop() const { return home_ / "Desktop" / ShortcutFileName(); }
  fs::path Autostart() const { return home_ / "config" / "autostart" / ShortcutFileName(); }

  fs::path home_;
};

TEST_F(DesktopIntegrationTest, StartPlacesBothEntriesOnceAndNeverReplacesThem) {
  EXPECT_EQ(ShortcutFileName(), "朗程汇.desktop");
  EXPECT_EQ(SpecialFolderPath(kStartupFolderId), (home_ / "config" / "autostart").string());
  EXPECT_EQ(SpecialFolderPath(kDesktopFolderId), (home_ / "Desktop").string());
  EXPECT_EQ(SpecialFolderPath(42), "");

  const std::string target = "/opt/kvt/pmr";
  PlaceDesktopShortcut(target, "", "/opt/kvt", ShortcutFileName());
  PlaceAutostartShortcut(target, "20", "/opt/kvt", ShortcutFileName());
  ASSERT_TRUE(fs::exists(Desktop()));
  ASSERT_TRUE(fs::exists(Autostart()));
  EXPECT_EQ(ReadFile(Desktop()),
            "[Desktop Entry]\nType=Application\nName=朗程汇\nExec=\"/opt/kvt/pmr\"\n"
            "Path=/opt/kvt\nIcon=camera-web\nTerminal=false\n");
  EXPECT_NE(ReadFile(Autostart()).find("\nExec=\"/opt/kvt/pmr\" 20\n"), std::string::npos);
  EXPECT_TRUE(fs::status(Desktop()).permissions() != fs::perms::none &&
              (fs::status(Desktop()).permissions() & fs::perms::owner_exec) != fs::perms::none);

  // A second start, even for another target, leaves what is there.
  std::ofstream(Autostart(), std::ios::trunc) << "mine";
  PlaceAutostartShortcut("/elsewhere/pmr", "20", "/elsewhere", ShortcutFileName());
  PlaceDesktopShortcut("/elsewhere/pmr", "", "/elsewhere", ShortcutFileName());
  EXPECT_EQ(ReadFile(Autostart()), "mine");
  EXPECT_NE(ReadFile(Desktop()).find("/opt/kvt/pmr"), std::string::npos);
}

TEST_F(DesktopIntegrationTest, AnyExistingNameBlocksTheEntryEvenADanglingLink) {
  fs::create_directories(Autostart().parent_path());
  fs::create_symlink(home_ / "nowhere", Autostart());
  PlaceAutostartShortcut("/opt/kvt/pmr", "20", "/opt/kvt", ShortcutFileName());
  EXPECT_TRUE(fs::is_symlink(Autostart()));
  EXPECT_FALSE(fs::exists(home_ / "nowhere"));
}

TEST_F(DesktopIntegrationTest, ExecQuotesTheTargetAndTheExtensionIsAddedWhenMissing) {
  const fs::path link = home_ / "links" / "a.DESKTOP";
  ASSERT_TRUE(CreateShellLink("/a b/$x\"y\\z%", "20", "/a b", link.string()));
  // The extension is compared exactly: another spelling gets a second one.
  const fs::path written = home_ / "links" / "a.DESKTOP.desktop";
  ASSERT_TRUE(fs::exists(written));
  EXPECT_NE(ReadFile(written).find("\nExec=\"/a b/\\\\$x\\\\\"y\\\\\\\\z%%\" 20\n"),
            std::string::npos)
      << ReadFile(written);
  // An existing file is never overwritten, also when the caller skipped the check.
  EXPECT_FALSE(CreateShellLink("/other", "", "/", written.string()));
  EXPECT_NE(ReadFile(written).find("/a b/"), std::string::npos);
}

TEST_F(DesktopIntegrationTest, BrowserAndFirewallCallsDoNothingHere) {
  EXPECT_EQ(InternetExplorerVersion(), "");
  EXPECT_FALSE(Is64BitWindows());
  EXPECT_TRUE(SetBrowserEmulation());
  std::string problem;
  EXPECT_EQ(FirewallAllowsInbound("/opt/kvt/pmr", &problem), std::nullopt);
  EXPECT_EQ(problem, "");
}

}  // namespace
}  // namespace pmr::app
