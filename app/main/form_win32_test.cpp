// Start-up on Windows: an install root outside the ANSI code page, and the firewall asked
// about the copy that a first start without the installer makes.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/firewall.h"
#include "app/main/form.h"
#include "base/file_path.h"
#include "ui/headless/headless_window.h"

namespace pmr::app {
namespace {
namespace fs = std::filesystem;

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The shell folders of this process only point into `base`, so shortcuts stay there.
class ScopedShellFolders {
 public:
  explicit ScopedShellFolders(const fs::path& base)
      : scratch_(L"Software\\pmr_form_test_" + std::to_wstring(GetCurrentProcessId())) {
    RegCreateKeyExW(HKEY_CURRENT_USER, scratch_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &user_, nullptr);
    for (const wchar_t* name : {L"Desktop", L"Startup"}) {
      const std::wstring folder = (base / name).wstring();
      fs::create_directories(folder);
      RegSetKeyValueW(user_,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                      name, REG_SZ, folder.c_str(),
                      static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    overridden_ = RegOverridePredefKey(HKEY_CURRENT_USER, user_) == ERROR_SUCCESS;
  }
  ~ScopedShellFolders() {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(user_);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.c_str());
  }
  bool ok() const { return overridden_; }

 private:
  std::wstring scratch_;
  HKEY user_ = nullptr;
  bool overridden_ = false;
};

FormOptions LoopbackOptions(const fs::path& base) {
  FormOptions options;
  options.program_file = base / L"kvt" / L"pmr.exe";
  options.program_files = PathToUtf8(base);
  options.callback_address = "127.0.0.1";
  options.callback_port = 0;
  options.page_port = 0;
  options.portal_host = "127.0.0.1:9";
  return options;
}

TEST(FormWin32Test, ChineseInstallRootIsUsedAsItIs) {
  const fs::path base = fs::temp_directory_path() /
                        (L"pmr_程序文件_" + std::to_wstring(GetCurrentProcessId()));
  fs::remove_all(base);
  const fs::path kvt = base / L"kvt";
  fs::create_directories(kvt);
  std::ofstream(kvt / L"pmrface.ini") << "[JDQFACE]\r\nFIPCAddr1=10.1.2.3\r\nSP=S001\r\n";
  {
    ScopedShellFolders folders(base);
    ASSERT_TRUE(folders.ok());
    ui::headless::HeadlessWindow window({.output = [](const std::string&) {}, .read_stdin = false});
    TForm1 form(window, LoopbackOptions(base));
    form.Timer1().Disarm();
    form.FormCreate();

    EXPECT_EQ(form.AppFolder(), kvt);
    EXPECT_EQ(form.State().FaceAddr(), "10.1.2.3");
    EXPECT_EQ(form.State().SchoolSP(), "S001");
    EXPECT_TRUE(fs::is_directory(kvt / L"pic"));
    EXPECT_TRUE(fs::exists(base / L"Desktop" / L"朗程汇.lnk"));
    EXPECT_TRUE(fs::exists(base / L"Startup" / L"朗程汇.lnk"));
    form.State().ReleaseConfig();
    form.Shutdown(std::chrono::milliseconds(0));
  }
  std::error_code error;
  fs::remove_all(base, error);
}

// Every start from a folder with pmrface.exe; only one that makes the copy asks the firewall.
TEST(FormWin32Test, OnlyAFirstStartThatInstallsAsksTheFirewall) {
  const fs::path base = fs::temp_directory_path() /
                        (L"pmr_防火墙_" + std::to_wstring(GetCurrentProcessId()));
  fs::remove_all(base);
  const fs::path downloads = base / L"下载";
  fs::create_directories(downloads);
  std::ofstream(downloads / L"pmrface.exe", std::ios::binary) << "MZ stand-in";
  const fs::path before = fs::current_path();
  fs::current_path(downloads);
  const std::string installed = PathToUtf8(base / L"kvt" / L"pmr.exe");

  std::vector<std::string> asked;
  // Returns the memo lines and the log file of one start.
  auto start = [&](std::optional<bool> answer, std::string problem, bool real_check) {
    std::vector<std::string> memo;
    {
      ScopedShellFolders folders(base);
      ui::headless::HeadlessWindow window(
          {.output = [](const std::string&) {}, .read_stdin = false});
      FormOptions options = LoopbackOptions(base);
      if (!real_check) {
        options.firewall_check = [&, answer, problem](const std::string& program,
                                                      std::string* why) {
          asked.push_back(program);
          *why = problem;
          return answer;
        };
      }
      TForm1 form(window, options);
      form.Timer1().Disarm();
      form.FormCreate();
      form.State().ReleaseConfig();
      form.Shutdown(std::chrono::milliseconds(0));
      memo = window.LogLines();
    }
    // The form has closed its log file.
    std::string log;
    for (const auto& entry : fs::directory_iterator(base / L"kvt" / L"log")) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      log += text.str();
    }
    fs::remove_all(base / L"kvt" / L"log");
    return std::make_pair(memo, log);
  };
  auto firewall_lines = [](const std::vector<std::string>& memo) {
    return std::count_if(memo.begin(), memo.end(), [](const std::string& line) {
      return line.find("防火墙") != std::string::npos;
    });
  };

  auto [memo, log] = start(false, "", false);
  EXPECT_EQ(asked, std::vector<std::string>{installed});
  EXPECT_TRUE(fs::exists(base / L"kvt" / L"pmr.exe"));
  EXPECT_EQ(std::count(memo.begin(), memo.end(), FirewallAdvice(installed)), 1);
  EXPECT_EQ(firewall_lines(memo), 1);
  EXPECT_NE(log.find(FirewallAdvice(installed)), std::string::npos);

  // The copy is there: nothing is asked.
  std::tie(memo, log) = start(false, "", false);
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(firewall_lines(memo), 0);

  // Allowed: no line. Unreadable: the log file alone says why.
  fs::remove(base / L"kvt" / L"pmr.exe");
  std::tie(memo, log) = start(true, "", false);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(firewall_lines(memo), 0);
  EXPECT_EQ(log.find("firewall"), std::string::npos);
  fs::remove(base / L"kvt" / L"pmr.exe");
  std::tie(memo, log) = start(std::nullopt, "reading X failed (0x80004001)", false);
  EXPECT_EQ(firewall_lines(memo), 0);
  EXPECT_NE(log.find(" firewall: not checked: reading X failed (0x80004001)\r\n"), std::string::npos)
      << log;

  if (UnderWine()) {
    // The real check, as far as Wine's firewall object goes.
    fs::remove(base / L"kvt" / L"pmr.exe");
    std::tie(memo, log) = start(std::nullopt, "", true);
    EXPECT_EQ(firewall_lines(memo), 0);
    EXPECT_NE(log.find("firewall: not checked: INetFwPolicy2::get_CurrentProfileTypes failed "
                       "(0x80004001)"),
              std::string::npos)
        << log;
  }
  fs::current_path(before);
  std::error_code error;
  fs::remove_all(base, error);
}

}  // namespace
}  // namespace pmr::app
