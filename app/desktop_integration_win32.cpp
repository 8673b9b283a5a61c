// Shell links, shell folders and the browser emulation value through the Win32 shell and
// registry. Texts are UTF-8 inside the program and widened here, so that folders outside the
// ANSI code page work too.

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <charconv>
#include <string>
#include <system_error>

#include "app/desktop_integration.h"
#include "app/files.h"
#include "base/text.h"

namespace pmr::app {
namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string wide = pmr::Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& wide) {
  return pmr::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

constexpr wchar_t kEmulationKey[] =
    L"SOFTWARE\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl\\FEATURE_BROWSER_EMULATION";
constexpr wchar_t kEmulationKey64[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl\\"
    L"FEATURE_BROWSER_EMULATION";

// Start-up initialises COM for the UI thread; this keeps the call safe from any other thread.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

void PlaceShortcut(int32_t folder_id, const std::string& target, const std::string& arguments,
                   const std::string& working_folder, const std::string& file_name) {
  const std::string folder = SpecialFolderPath(folder_id);
  if (folder.empty()) return;  // nowhere to put it; tried again next start
  const std::string link_path = folder + "\\" + file_name;
  if (GetFileAttributesW(Wide(link_path).c_str()) != INVALID_FILE_ATTRIBUTES) return;
  CreateShellLink(target, arguments, working_folder, link_path);
}

std::wstring ReadStringValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &got) !=
      ERROR_SUCCESS) {
    return {};
  }
  value.resize(got / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

bool HasValue(HKEY key, const wchar_t* name) {
  return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// The whole number before the first "."; false when there is none.
bool MajorVersion(const std::string& version, long& major) {
  const std::string head = version.substr(0, version.find('.'));
  const char* last = head.data() + head.size();
  auto [end, error] = std::from_chars(head.data(), last, major);
  return error == std::errc() && end == last;
}

}  // namespace

std::string ShortcutFileName() { return std::string(kShortcutBaseName) + ".lnk"; }

std::string SpecialFolderPath(int32_t folder_id) {
  LPITEMIDLIST list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, folder_id, &list)) || !list) return {};
  wchar_t path[MAX_PATH] = {};
  const BOOL ok = SHGetPathFromIDListW(list, path);
  CoTaskMemFree(list);
  if (!ok) return {};
  std::wstring text(path);
  while (text.size() > 3 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
  return Narrow(text);
}

bool CreateShellLink(const std::string& target, const std::string& arguments,
                     const std::string& working_folder, const std::string& link_path) {
  ComScope com;
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return false;
  }
  IPersistFile* file = nullptr;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    link->Release();
    return false;
  }
  link->SetPath(Wide(target).c_str());
  link->SetArguments(Wide(arguments).c_str());
  link->SetWorkingDirectory(Wide(working_folder).c_str());

  // Only an exact ".lnk" counts; "X.LNK" becomes "X.LNK.lnk".
  std::string path = link_path;
  const std::size_t name_start =
      path.find_last_of("\\/") == std::string::npos ? 0 : path.find_last_of("\\/") + 1;
  const std::size_t dot = path.rfind('.');
  const bool has_lnk = dot != std::string::npos && dot >= name_start && path.substr(dot) == ".lnk";
  if (!has_lnk) path += ".lnk";
  file->Save(Wide(path).c_str(), FALSE);
  file->Release();
  link->Release();
  return true;
}

void PlaceDesktopShortcut(const std::string& target, const std::string& arguments,
                          const std::string& working_folder, const std::string& file_name) {
  PlaceShortcut(kDesktopFolderId, target, arguments, working_folder, file_name);
}

void PlaceAutostartShortcut(const std::string& target, const std::string& arguments,
                            const std::string& working_folder, const std::string& file_name) {
  PlaceShortcut(kStartupFolderId, target, arguments, working_folder, file_name);
}

std::string InternetExplorerVersion() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Internet Explorer", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring version;
  if (HasValue(key, L"svcVersion")) {
    version = ReadStringValue(key, L"svcVersion");
  } else if (HasValue(key, L"Version")) {
    version = ReadStringValue(key, L"Version");
  }
  RegCloseKey(key);
  return Narrow(version);
}

bool Is64BitWindows() {
  HMODULE kernel = GetModuleHandleW(L"KERNEL32.DLL");
  if (!kernel) kernel = LoadLibraryW(L"KERNEL32.DLL");
  if (!kernel) return false;
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
  auto is_wow64 = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  auto native_info = reinterpret_cast<GetNativeSystemInfoFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")));
  if (!is_wow64) return false;
  BOOL wow64 = FALSE;
  is_wow64(GetCurrentProcess(), &wow64);
  if (!wow64 || !native_info) return false;
  SYSTEM_INFO info{};
  native_info(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

bool SetBrowserEmulation() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Is64BitWindows() ? kEmulationKey64 : kEmulationKey, 0,
                      nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return true;
  }
  const std::wstring name = RunningProgramFile().filename().wstring();
  long major = 0;
  if (MajorVersion(InternetExplorerVersion(), major) && major < 12) {
    DWORD value = 7000;
    if (major == 8) value = 8000;
    if (major == 9) value = 9000;
    if (major == 10) value = 10000;
    if (major == 11) value = 11001;
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
  }
  RegCloseKey(key);
  return true;
}

}  // namespace pmr::app
