// Start-up on Windows with an install root outside the ANSI code page.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/main/form.h"
#include "base/file_path.h"
#include "ui/headless/headless_window.h"

namespace pmr::app {
namespace {
namespace fs = std::filesystem;

TEST(FormWin32Test, ChineseInstallRootIsUsedAsItIs) {
  const fs::path base = fs::temp_directory_path() /
                        (L"pmr_程序文件_" + std::to_wstring(GetCurrentProcessId()));
  fs::remove_all(base);
  const fs::path kvt = base / L"kvt";
  fs::create_directories(kvt);
  std::ofstream(kvt / L"pmrface.ini") << "[JDQFACE]\r\nFIPCAddr1=10.1.2.3\r\nSP=S001\r\n";

  // The shell folders of this process only point into the test's folder.
  const std::wstring scratch = L"Software\\pmr_form_test_" + std::to_wstring(GetCurrentProcessId());
  HKEY user = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &user, nullptr),
            ERROR_SUCCESS);
  for (const wchar_t* name : {L"Desktop", L"Startup"}) {
    const std::wstring folder = (base / name).wstring();
    fs::create_directories(folder);
    RegSetKeyValueW(user, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                    name, REG_SZ, folder.c_str(),
                    static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  }
  ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, user), ERROR_SUCCESS);
  {
    ui::headless::HeadlessWindow window({.output = [](const std::string&) {}, .read_stdin = false});
    FormOptions options;
    options.program_file = kvt / L"pmr.exe";
    options.program_files = PathToUtf8(base);
    options.callback_address = "127.0.0.1";
    options.callback_port = 0;
    options.page_port = 0;
    options.portal_host = "127.0.0.1:9";
    TForm1 form(window, options);
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
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(user);
  RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
  std::error_code error;
  fs::remove_all(base, error);
}

}  // namespace
}  // namespace pmr::app
