#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/desktop_integration.h"

namespace pmr::app {
namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string TrimLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// The user's desktop folder as the desktop itself names it, e.g. a translated "桌面".
std::string XdgDesktopFolder() {
  if (FILE* pipe = popen("xdg-user-dir DESKTOP 2>/dev/null", "r")) {
    std::string out;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    out = TrimLine(out);
    if (status == 0 && !out.empty() && out.front() == '/') return out;
  }
  std::string home = Env("HOME");
  return home.empty() ? "" : home + "/Desktop";
}

// Exec= quoting: the argument in double quotes with ", `, $ and \ escaped, then the value's
// own escaping doubles every backslash; % is the field-code escape.
std::string ExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  return out;
}

// A value of a key: line breaks would end it early.
std::string EntryValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

void PlaceShortcut(int32_t folder_id, const std::string& target, const std::string& arguments,
                   const std::string& working_folder, const std::string& file_name) {
  const std::string folder = SpecialFolderPath(folder_id);
  if (folder.empty()) return;
  const std::string link_path = folder + "/" + file_name;
  std::error_code error;
  // Any file of that name, even a dangling link, is left as it is.
  if (fs::symlink_status(link_path, error).type() != fs::file_type::not_found) return;
  if (error && error != std::errc::no_such_file_or_directory) return;
  CreateShellLink(target, arguments, working_folder, link_path);
}

}  // namespace

std::string ShortcutFileName() { return std::string(kShortcutBaseName) + ".desktop"; }

std::string SpecialFolderPath(int32_t folder_id) {
  if (folder_id == kDesktopFolderId) return XdgDesktopFolder();
  if (folder_id == kStartupFolderId) {
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
      std::string home = Env("HOME");
      if (home.empty()) return "";
      config = home + "/.config";
    }
    return config + "/autostart";
  }
  return "";
}

bool CreateShellLink(const std::string& target, const std::string& arguments,
                     const std::string& working_folder, const std::string& link_path) {
  std::string path = link_path;
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      path.substr(dot) != ".desktop") {
    path += ".desktop";
  }
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);

  std::string exec = ExecArgument(target);
  if (!arguments.empty()) exec += " " + EntryValue(arguments);
  const std::string entry =
      "[Desktop Entry]\nType=Application\nName=" + std::string(kShortcutBaseName) +
      "\nExec=" + exec + "\nPath=" + EntryValue(working_folder) +
      "\nIcon=camera-web\nTerminal=false\n";
  // "x": never replaces a file that appeared meanwhile.
  FILE* file = std::fopen(path.c_str(), "wx");
  if (file == nullptr) return false;
  bool ok = std::fwrite(entry.data(), 1, entry.size(), file) == entry.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    fs::remove(path, error);
    return false;
  }
  // Desktops launch only entries marked executable from the desktop folder.
  chmod(path.c_str(), 0755);
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

// No registry and no Internet Explorer here: the web view needs no emulation entry.
std::string InternetExplorerVersion() { return ""; }
bool Is64BitWindows() { return false; }
bool SetBrowserEmulation() { return true; }

// Nothing here blocks the terminal the way the Windows firewall's first-start prompt does.
std::optional<bool> FirewallAllowsInbound(const std::string&, std::string*) {
  return std::nullopt;
}

}  // namespace pmr::app
