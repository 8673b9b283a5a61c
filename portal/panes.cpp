#include "portal/panes.h"

#include "portal/portal.h"

namespace pmr::portal {

std::string EscapeScriptString(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string InsScript(std::string_view card_id, std::string_view pic_url,
                      std::string_view event_time) {
  return "ins(\"" + EscapeScriptString(card_id) + "\",\"" + EscapeScriptString(pic_url) + "\",\"" +
         EscapeScriptString(event_time) + "\")";
}

LeftPaneDecision DecideLeftPaneNavigation(std::string_view url) {
  LeftPaneDecision decision;
  for (std::string_view mark : {kPointsPageMark, std::string_view("xgo")}) {
    if (url.find(mark) != std::string_view::npos) {
      decision.main_navigations.emplace_back(url);
      decision.cancel = true;
    }
  }
  return decision;
}

}  // namespace pmr::portal
