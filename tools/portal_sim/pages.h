#pragma once

// The stand-in portal's pages: small UTF-8 HTML documents at the portal's page paths, with no
// external resources. Every query value a page shows is HTML-escaped, every one it puts into
// script is escaped for a script string. Pure functions, safe from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pmr::portal_sim {

// The portal's addresses as the portal itself spells them, not taken from the bridge's
// portal/, so that a wrong address in the bridge meets a 404 here.
inline constexpr std::string_view kIdentityPath = "/wgate/wgate_gethid.asp";
inline constexpr std::string_view kSchoolCodePath = "/wgate/pmr_getsp.html";
inline constexpr std::string_view kUploadPath = "/fgate/jdq_upload.html";
inline constexpr std::string_view kRegistrationPath = "/kvtnet/index.html";
// The school's points, and one pupil's with "cardid".
inline constexpr std::string_view kPointsPath = "/club/index_jdq_s.html";
inline constexpr std::string_view kAttendancePath = "/mosite/xykq2.html";
inline constexpr std::string_view kLiveListPath = "/club/hlmbo_jdqface_now.html";
inline constexpr std::string_view kSmartSchoolPath = "/club/xgo.html";

// What the pages know of the portal: the identity it issues and the school code it answers.
struct SiteInfo {
  std::string hid;
  std::string sp;
};

// "&", "<", ">", '"' and "'" as character references.
std::string HtmlEscape(std::string_view text);
// Every byte but A-Z a-z 0-9 "-" "_" "." "~" as %XX, for one query value.
std::string UrlEncodeComponent(std::string_view text);
// The content of a double-quoted script string that is also safe inside a <script> element.
std::string ScriptString(std::string_view text);

// The value of the first `name=...` line of decoded parameter lines.
std::optional<std::string> ParamValue(const std::vector<std::string>& params,
                                      std::string_view name);

// The page at `document` for the decoded query `params`, or nullopt when no page lives there.
std::optional<std::string> RenderPage(std::string_view document,
                                      const std::vector<std::string>& params, const SiteInfo& site);

// Pieces of the pages that tests and the live list share.
inline constexpr std::string_view kDefaultPageApi = "http://127.0.0.1:8091";
// Rows the live list keeps.
inline constexpr int kLiveListRows = 50;

}  // namespace pmr::portal_sim
