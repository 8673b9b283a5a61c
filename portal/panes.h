#pragma once

// The pane rules that need no window: the left pane's live-list script call and which of the
// left pane's navigations open in the main pane instead.

#include <string>
#include <string_view>
#include <vector>

namespace pmr::portal {

// ins("card id","picture url","event time"), each value escaped for a double-quoted script
// string, so a quote or backslash in a value cannot break the call.
std::string InsScript(std::string_view card_id, std::string_view pic_url,
                      std::string_view event_time);

// A double-quoted or single-quoted script string's content: backslash, both quotes and
// control characters escaped.
std::string EscapeScriptString(std::string_view text);

// The left pane is about to open `url`: the navigations the main pane makes instead (one per
// matching mark, "index_jdq_s" then "xgo", case-sensitive) and whether the left pane's own
// navigation is cancelled.
struct LeftPaneDecision {
  std::vector<std::string> main_navigations;
  bool cancel = false;
};
LeftPaneDecision DecideLeftPaneNavigation(std::string_view url);

}  // namespace pmr::portal
