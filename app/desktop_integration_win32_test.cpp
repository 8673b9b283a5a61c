#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "app/desktop_integration.h"
#include "app/files.h"
#include "base/file_path.h"

namespace pmr::app {
namespace {
namespace fs = std::filesystem;

constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kIeKey[] = L"Software\\Microsoft\\Internet Explorer";
constexpr wchar_t kEmulation[] =
    L"SOFTWARE\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl\\FEATURE_BROWSER_EMULATION";
constexpr wchar_t kEmulationWow[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl\\"
    L"FEATURE_BROWSER_EMULATION";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Link {
  std::wstring target, arguments, working_folder;
};

// What a shortcut file holds, read back through the shell's own link object.
std::optional<Link> ReadLink(const fs::path& file) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return std::nullopt;
  }
  IPersistFile* persist = nullptr;
  std::optional<Link> out;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    if (SUCCEEDED(persist->Load(file.wstring().c_str(), STGM_READ))) {
      wchar_t text[MAX_PATH * 2] = {};
      Link got;
      // The target through its item list: Wine's GetPath gives the ANSI copy of the path
      // that a link file also holds, which loses what the code page lacks.
      LPITEMIDLIST items = nullptr;
      if (SUCCEEDED(link->GetIDList(&items)) && items) {
        if (SHGetPathFromIDListW(items, text)) got.target = text;
        CoTaskMemFree(items);
      }
      text[0] = 0;
      text[0] = 0;
      if (SUCCEEDED(link->GetArguments(text, MAX_PATH * 2))) got.arguments = text;
      text[0] = 0;
      if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH * 2))) got.working_folder = text;
      out = got;
    }
    persist->Release();
  }
  link->Release();
  return out;
}

// Each test gets scratch registry trees that stand in for HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE in this process only, so the shell folders point into a scratch folder
// and the browser entries never reach the prefix's real machine keys.
class DesktopIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // A Chinese folder: paths outside the ANSI code page must survive.
    root_ = fs::temp_directory_path() /
            (L"pmr_桌面_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
             std::wstring(name.begin(), name.end()));
    fs::remove_all(root_);
    fs::create_directories(root_ / L"desktop");
    fs::create_directories(root_ / L"startup");
    scratch_ = L"Software\\pmr_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
               std::wstring(name.begin(), name.end());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (scratch_ + L"\\user").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &user_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (scratch_ + L"\\machine").c_str(), 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &machine_, nullptr),
              ERROR_SUCCESS);
    SetString(user_, kShellFolders, L"Desktop", (root_ / L"desktop").wstring());
    SetString(user_, kShellFolders, L"Startup", (root_ / L"startup").wstring());
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, user_), ERROR_SUCCESS);
  }

  void TearDown() override {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(user_);
    RegCloseKey(machine_);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.c_str());
    std::error_code error;
    fs::remove_all(root_, error);
    CoUninitialize();
  }

  static void SetString(HKEY root, const wchar_t* key, const wchar_t* name,
                        const std::wstring& value) {
    ASSERT_EQ(RegSetKeyValueW(root, key, name, REG_SZ, value.c_str(),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  // The browser version values as the machine would hold them; nullptr leaves one out.
  void SetBrowserVersion(const wchar_t* svc_version, const wchar_t* version) {
    RegDeleteTreeW(machine_, L"Software");
    if (svc_version) SetString(machine_, kIeKey, L"svcVersion", svc_version);
    if (version) SetString(machine_, kIeKey, L"Version", version);
  }

  // The emulation value for this program under `key`, if any.
  std::optional<DWORD> Emulation(const wchar_t* key) const {
    DWORD value = 0;
    DWORD size = sizeof value;
    const std::wstring name = RunningProgramFile().filename().wstring();
    if (RegGetValueW(machine_, key, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return value;
  }

  fs::path root_;
  std::wstring scratch_;
  HKEY user_ = nullptr;
  HKEY machine_ = nullptr;
};

TEST_F(DesktopIntegrationTest, SpecialFoldersAreTheUsersShellFolders) {
  EXPECT_EQ(ShortcutFileName(), "朗程汇.lnk");
  EXPECT_EQ(PathFromUtf8(SpecialFolderPath(kDesktopFolderId)), root_ / L"desktop");
  EXPECT_EQ(PathFromUtf8(SpecialFolderPath(kStartupFolderId)), root_ / L"startup");
  EXPECT_EQ(SpecialFolderPath(0xFE), "");  // no such folder
}

TEST_F(DesktopIntegrationTest, ShortcutsPointAtTheInstalledCopyAndAreNeverReplaced) {
  const fs::path kvt = root_ / L"程序" / L"kvt";
  fs::create_directories(kvt);
  std::ofstream(kvt / L"pmr.exe") << "MZ";
  const std::string target = PathToUtf8(kvt / L"pmr.exe");
  PlaceDesktopShortcut(target, "", PathToUtf8(kvt), ShortcutFileName());
  PlaceAutostartShortcut(target, "20", PathToUtf8(kvt), ShortcutFileName());

  const fs::path desktop = root_ / L"desktop" / L"朗程汇.lnk";
  const fs::path startup = root_ / L"startup" / L"朗程汇.lnk";
  std::optional<Link> link = ReadLink(desktop);
  ASSERT_TRUE(link);
  EXPECT_EQ(fs::path(link->target), kvt / L"pmr.exe");
  EXPECT_EQ(link->arguments, L"");
  EXPECT_EQ(fs::path(link->working_folder), kvt);
  link = ReadLink(startup);
  ASSERT_TRUE(link);
  EXPECT_EQ(fs::path(link->target), kvt / L"pmr.exe");
  EXPECT_EQ(link->arguments, L"20");
  EXPECT_EQ(fs::path(link->working_folder), kvt);

  // Whatever holds the name stays, also for another target at the next start.
  const std::string before = ReadFile(desktop);
  std::ofstream(startup, std::ios::trunc | std::ios::binary) << "mine";
  PlaceAutostartShortcut("C:\\elsewhere\\pmr.exe", "20", "C:\\elsewhere", ShortcutFileName());
  PlaceDesktopShortcut("C:\\elsewhere\\pmr.exe", "", "C:\\elsewhere", ShortcutFileName());
  EXPECT_EQ(ReadFile(startup), "mine");
  EXPECT_EQ(ReadFile(desktop), before);
}

TEST_F(DesktopIntegrationTest, OnlyAnExactLnkExtensionIsKept) {
  std::ofstream(root_ / L"t.exe") << "MZ";
  const std::string target = PathToUtf8(root_ / L"t.exe");
  ASSERT_TRUE(CreateShellLink(target, "", PathToUtf8(root_), PathToUtf8(root_ / L"a.lnk")));
  ASSERT_TRUE(CreateShellLink(target, "", PathToUtf8(root_), PathToUtf8(root_ / L"b.LNK")));
  ASSERT_TRUE(CreateShellLink(target, "", PathToUtf8(root_), PathToUtf8(root_ / L"c")));
  EXPECT_TRUE(fs::exists(root_ / L"a.lnk"));
  EXPECT_FALSE(fs::exists(root_ / L"a.lnk.lnk"));
  EXPECT_TRUE(fs::exists(root_ / L"b.LNK.lnk"));
  EXPECT_TRUE(fs::exists(root_ / L"c.lnk"));
  std::optional<Link> link = ReadLink(root_ / L"b.LNK.lnk");
  ASSERT_TRUE(link);
  EXPECT_EQ(fs::path(link->target), root_ / L"t.exe");
}

TEST_F(DesktopIntegrationTest, EmulationValueFollowsTheBrowserVersion) {
  // A 64-bit program is never a WOW64 process, so it writes the plain key.
  static_assert(sizeof(void*) == 8);
  ASSERT_FALSE(Is64BitWindows());
  struct Case {
    const wchar_t* svc_version;
    const wchar_t* version;
    std::optional<DWORD> expected;
  };
  const Case cases[] = {
      {L"11.0.9600.19036", L"9.11.9600.19036", 11001},
      {L"10.0.9200.16384", L"9.10.9200.16384", 10000},
      {nullptr, L"9.0.8112.16421", 9000},
      {nullptr, L"8.0.6001.18702", 8000},
      {nullptr, L"6.0.2900.5512", 7000},
      {nullptr, L"0.1", 7000},
      {L"-3.1", nullptr, 7000},
      {L"12.0", L"9.0", std::nullopt},
      {L"", L"9.0", std::nullopt},  // svcVersion is taken when present, even empty
      {L"eleven.0", nullptr, std::nullopt},
      {L"11", nullptr, 11001},  // no point: the whole text is the number
      {nullptr, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.svc_version ? c.svc_version : c.version ? c.version : L"(none)");
    RegDeleteTreeW(machine_, L"SOFTWARE\\Microsoft\\Internet Explorer\\MAIN");
    SetBrowserVersion(c.svc_version, c.version);
    EXPECT_TRUE(SetBrowserEmulation());
    EXPECT_EQ(Emulation(kEmulation), c.expected);
    EXPECT_FALSE(Emulation(kEmulationWow));
  }

  // Written at every start: an earlier value of the name is replaced.
  SetBrowserVersion(L"8.0", nullptr);
  SetBrowserEmulation();
  SetBrowserVersion(L"11.0", nullptr);
  SetBrowserEmulation();
  EXPECT_EQ(Emulation(kEmulation), 11001u);
}

TEST_F(DesktopIntegrationTest, NoBrowserKeyGivesAnEmptyVersion) {
  EXPECT_EQ(InternetExplorerVersion(), "");
  SetBrowserVersion(nullptr, L"9.0.1");
  EXPECT_EQ(InternetExplorerVersion(), "9.0.1");
  SetBrowserVersion(L"11.0.2", L"9.0.1");
  EXPECT_EQ(InternetExplorerVersion(), "11.0.2");
}

}  // namespace
}  // namespace pmr::app
