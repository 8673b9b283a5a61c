// Shell links, shell folders and the browser emulation value through the Win32 shell and
// registry; the firewall's rules through its COM policy object. Texts are UTF-8 inside the
// program and widened here, so that folders outside the ANSI code page work too.

#include <netfw.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <system_error>

#include "app/desktop_integration.h"
#include "app/files.h"
#include "app/firewall.h"
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

// Spelled out: libuuid need not carry the firewall's class.
constexpr GUID kClsidNetFwPolicy2 = {
    0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};

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

// Releases a COM pointer at scope end.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() {
    if (p_ != nullptr) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** out() { return &p_; }
  void** out_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

std::string TakeText(BSTR text) {
  std::wstring wide = text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
  SysFreeString(text);
  return Narrow(wide);
}

// Rules may name their program through variables such as %ProgramFiles%.
std::string ExpandedPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD size = ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::wstring expanded(size, L'\0');
  const DWORD got = ExpandEnvironmentStringsW(wide.c_str(), expanded.data(), size);
  if (got == 0 || got > size) return path;
  expanded.resize(got - 1);
  return Narrow(expanded);
}

std::string Failure(const char* what, HRESULT hr) {
  char text[96];
  std::snprintf(text, sizeof text, "%s failed (0x%08lX)", what, static_cast<unsigned long>(hr));
  return text;
}

// One rule's fields that InboundAllowed judges; false when the rule cannot be read.
bool ReadRule(INetFwRule* rule, FirewallRule& out) {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
  NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
  long protocol = 0;
  long profiles = 0;
  BSTR program = nullptr;
  BSTR ports = nullptr;
  if (FAILED(rule->get_Enabled(&enabled)) || FAILED(rule->get_Direction(&direction)) ||
      FAILED(rule->get_Action(&action)) || FAILED(rule->get_Protocol(&protocol)) ||
      FAILED(rule->get_Profiles(&profiles)) || FAILED(rule->get_ApplicationName(&program))) {
    return false;
  }
  out.program = ExpandedPath(TakeText(program));
  // Only TCP and UDP rules have ports.
  out.local_ports = SUCCEEDED(rule->get_LocalPorts(&ports)) ? TakeText(ports) : "*";
  out.enabled = enabled != VARIANT_FALSE;
  out.inbound = direction == NET_FW_RULE_DIR_IN;
  out.allow = action == NET_FW_ACTION_ALLOW;
  out.protocol = static_cast<int32_t>(protocol);
  out.profiles = static_cast<int32_t>(profiles);
  return true;
}

// The policy as far as a normal user may read it; the empty text or why it could not be read.
std::string ReadFirewallPolicy(FirewallPolicy& policy) {
  ComPtr<INetFwPolicy2> firewall;
  HRESULT hr = CoCreateInstance(kClsidNetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(INetFwPolicy2), firewall.out_void());
  if (FAILED(hr)) return Failure("creating HNetCfg.FwPolicy2", hr);
  long current = 0;
  hr = firewall->get_CurrentProfileTypes(&current);
  if (FAILED(hr)) return Failure("INetFwPolicy2::get_CurrentProfileTypes", hr);
  policy.current_profiles = static_cast<int32_t>(current);
  for (int32_t type : {kFirewallDomain, kFirewallPrivate, kFirewallPublic}) {
    const auto profile = static_cast<NET_FW_PROFILE_TYPE2>(type);
    VARIANT_BOOL enabled = VARIANT_TRUE;
    VARIANT_BOOL blocks_all = VARIANT_FALSE;
    NET_FW_ACTION inbound = NET_FW_ACTION_BLOCK;
    hr = firewall->get_FirewallEnabled(profile, &enabled);
    if (SUCCEEDED(hr)) hr = firewall->get_BlockAllInboundTraffic(profile, &blocks_all);
    if (SUCCEEDED(hr)) hr = firewall->get_DefaultInboundAction(profile, &inbound);
    if (FAILED(hr)) return Failure("reading a firewall profile", hr);
    policy.profiles.push_back({.type = type,
                               .enabled = enabled != VARIANT_FALSE,
                               .blocks_all_inbound = blocks_all != VARIANT_FALSE,
                               .allows_inbound_by_default = inbound == NET_FW_ACTION_ALLOW});
  }
  ComPtr<INetFwRules> rules;
  hr = firewall->get_Rules(rules.out());
  if (FAILED(hr)) return Failure("INetFwPolicy2::get_Rules", hr);
  ComPtr<IUnknown> enumerator;
  hr = rules->get__NewEnum(enumerator.out());
  if (FAILED(hr)) return Failure("INetFwRules::get__NewEnum", hr);
  ComPtr<IEnumVARIANT> each;
  hr = enumerator->QueryInterface(IID_IEnumVARIANT, each.out_void());
  if (FAILED(hr)) return Failure("QueryInterface(IEnumVARIANT)", hr);
  for (;;) {
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 0;
    hr = each->Next(1, &item, &fetched);
    if (FAILED(hr)) return Failure("IEnumVARIANT::Next", hr);
    if (hr != S_OK || fetched == 0) break;
    ComPtr<INetFwRule> rule;
    FirewallRule read;
    const bool ok = (V_VT(&item) == VT_DISPATCH || V_VT(&item) == VT_UNKNOWN) &&
                    V_UNKNOWN(&item) != nullptr &&
                    SUCCEEDED(V_UNKNOWN(&item)->QueryInterface(__uuidof(INetFwRule),
                                                               rule.out_void())) &&
                    ReadRule(rule.get(), read);
    VariantClear(&item);
    // One odd rule does not make the others unreadable.
    if (ok) policy.rules.push_back(std::move(read));
  }
  return {};
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

std::optional<bool> FirewallAllowsInbound(const std::string& program, std::string* problem) {
  ComScope com;
  FirewallPolicy policy;
  std::string failure = ReadFirewallPolicy(policy);
  if (!failure.empty()) {
    if (problem != nullptr) *problem = std::move(failure);
    return std::nullopt;
  }
  return InboundAllowed(policy, program);
}

}  // namespace pmr::app
