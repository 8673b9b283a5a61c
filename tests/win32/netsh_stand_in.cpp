// Takes the place of netsh.exe in the installer test's own Wine prefix. Wine's netsh accepts
// every command, does nothing and prints nothing, so the test could not see what the
// installer asked of the firewall; this one appends each command line, as the installer
// passed it, to C:\netsh-calls.txt (UTF-8, one a line). It answers like netsh on a machine
// without the installer's rules: a delete finds nothing to delete (exit 1), the rest
// succeed (exit 0).

#include <windows.h>

#include <cwchar>
#include <string>

int main() {
  const std::wstring line = std::wstring(GetCommandLineW()) + L"\r\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), size,
                      nullptr, nullptr);
  HANDLE file = CreateFileW(L"C:\\netsh-calls.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok) return 2;
  return std::wcsstr(GetCommandLineW(), L" delete ") != nullptr ? 1 : 0;
}
