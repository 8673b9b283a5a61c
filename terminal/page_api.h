#pragma once

// The local page API (port 8091): four routes that run the person and face commands and answer
// with one line of page script in code page 936, and a file route for the picture folder.
// Safe to call from any number of connection threads at once; the server must listen on
// 127.0.0.1 only. Any page on the PC can reach it, so requests whose Host header names another
// host get 403, and /clearimg never passes on the id that means every person.

#include <filesystem>
#include <string_view>

#include "net/http_message.h"
#include "state/app_state.h"
#include "state/effects.h"
#include "terminal/terminal_api.h"

namespace pmr::terminal {

struct PageApiContext {
  const state::AppState& state;  // FaceAddr and FacePass, read once per request
  state::WindowEffects& log;
  std::filesystem::path picture_folder;
  int terminal_port = kPort;
  int page_port = 8091;  // where the service listens: the only port a Host header may name
};

// Answers one request. Raises pmr::Error when a file of the picture folder exists but cannot
// be opened.
void PageApiCommandGet(const PageApiContext& context, const net::THTTPRequestInfo& request,
                       net::THTTPResponseInfo& response);

// True for an id that /clearimg refuses: empty or blank, or -1 (every person to the terminal)
// in any decimal spelling: blanks around it, a run of signs holding a minus, leading zeros, a
// fraction, an exponent, a type suffix ("-01", "+-1", "-1.00", "-10e-1", "-1L").
bool IsRefusedDeleteId(std::string_view id);

// The regular file inside `folder` that `document` names, or the empty path when it names
// none or leaves the folder (".." or "." segments, empty segments, backslashes, colons, NUL).
std::filesystem::path PictureFile(const std::filesystem::path& folder, std::string_view document);

}  // namespace pmr::terminal
