#pragma once

// Desktop integration placed at every start: a desktop shortcut, an autostart shortcut and
// the embedded browser's emulation entry; and a look at the firewall after an installation.
//   Windows: shell links "朗程汇.lnk" in the desktop and Startup folders, and the registry
//   value under FEATURE_BROWSER_EMULATION.
//   Linux: XDG desktop entries "朗程汇.desktop" in the desktop folder (`xdg-user-dir DESKTOP`,
//   else ~/Desktop) and in $XDG_CONFIG_HOME/autostart (else ~/.config/autostart); the
//   browser calls do nothing.
// Nothing here reports a failure: a shortcut that cannot be made is tried again next start.
// Thread-safety: call from the UI thread during start-up.

#include <cstdint>
#include <optional>
#include <string>

namespace pmr::app {

// Shell folder ids.
inline constexpr int32_t kDesktopFolderId = 0x0010;  // CSIDL_DESKTOPDIRECTORY
inline constexpr int32_t kStartupFolderId = 0x0007;  // CSIDL_STARTUP

// The shortcut's file name without its extension; the platform adds ".lnk" or ".desktop".
inline constexpr const char* kShortcutBaseName = "朗程汇";

// The file name that start-up gives both shortcuts: kShortcutBaseName + the platform's
// extension.
std::string ShortcutFileName();

// The folder's path without a trailing separator; empty when it cannot be resolved.
std::string SpecialFolderPath(int32_t folder_id);

// Writes a shortcut to `target` with `arguments` and `working_folder` at `link_path`
// (UTF-8 here; widened where the platform needs it). True when nothing failed on the way.
bool CreateShellLink(const std::string& target, const std::string& arguments,
                     const std::string& working_folder, const std::string& link_path);

// SpecialFolderPath(id) + separator + `file_name`; never replaces an existing file.
void PlaceDesktopShortcut(const std::string& target, const std::string& arguments,
                          const std::string& working_folder, const std::string& file_name);
void PlaceAutostartShortcut(const std::string& target, const std::string& arguments,
                            const std::string& working_folder, const std::string& file_name);

// The installed browser's version text; empty where there is none to ask.
std::string InternetExplorerVersion();
bool Is64BitWindows();
// Always true; nobody reads it.
bool SetBrowserEmulation();

// Whether the firewall lets other computers open TCP connections to `program` (a full path,
// UTF-8), judged by InboundAllowed (app/firewall.h) from the policy a normal user may read.
// nullopt when there is no firewall to ask (Linux), or when its policy cannot be read; then
// `problem` says why (and stays empty in the first case). Never changes the policy.
std::optional<bool> FirewallAllowsInbound(const std::string& program, std::string* problem);

}  // namespace pmr::app
