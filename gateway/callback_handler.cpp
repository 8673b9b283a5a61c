#include "gateway/callback_handler.h"

#include <charconv>
#include <cstdint>

#include "base/file_path.h"
#include "base/text.h"
#include "net/json.h"
#include "portal/portal.h"

namespace pmr::gateway {
namespace {

constexpr const char* kLocalPictureBase = "http://127.0.0.1:8091/";

// A member as text, or nothing when the message has no such member.
std::optional<std::string> Member(const net::JsonValuePtr& root, std::u16string_view name) {
  net::JsonValuePtr value = net::GetMember(root, name);
  if (!value) return std::nullopt;
  return Utf16ToUtf8(net::AsText(*value));
}

}  // namespace

DateTime EventTimeFromText(const std::string& text, const Clock& clock) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t ms = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return clock.Now();
  }
  try {
    return EventTimeFromUnixMs(ms);
  } catch (const std::exception&) {
    return clock.Now();
  }
}

void HTTPServer1CommandGet(const CallbackContext& context,
                           const net::THTTPRequestInfo& ARequestInfo,
                           net::THTTPResponseInfo& AResponseInfo) {
  state::AppState& state = *context.state;
  GatewayWindow& window = *context.window;
  const std::string& remote_ip = ARequestInfo.RemoteIP;

  // Not well-formed UTF-8 gives the empty text; what code page 936 lacks becomes "?".
  const std::string body = DecodeUtf8ToAnsi(ARequestInfo.FormParams);
  window.Log(body);

  net::JsonValuePtr root;
  try {
    root = net::ParseJson(Utf8ToUtf16(body));
  } catch (const std::exception& e) {
    window.Log(std::string("SO(ss):") + e.what());
    return;
  }

  std::string card_id, logged_card_id, picture_url;
  DateTime event_time;
  // The host's busy marker from the busy test until the picture is fetched.
  std::optional<BusyMarker> marker;
  try {
    if (auto person = Member(root, u"personId")) {
      card_id = "fp" + *person;
      logged_card_id = card_id == "fpSTRANGERBABY" ? "" : card_id;
      window.Log("cid:" + logged_card_id);
    }
    const std::string kind = Member(root, u"type").value_or("");

    if (kind.find("face") != std::string::npos) {
      const std::optional<std::string> path = Member(root, u"path");
      // The busy test and the marker of the fetch to come are one step, so that of several
      // events of one sender arriving together exactly one fetches.
      const std::string busy_marker = "(" + remote_ip + ")";
      std::string busy_text;
      bool busy = false;
      if (path && !path->empty()) {
        FtpParams params;
        GetFTPParams(*path, params, nullptr);
        busy = !context.busy_hosts->AddMarkerUnlessBusy(busy_marker, params.host, busy_text);
        if (!busy) marker.emplace(*context.busy_hosts, params.host, /*already_added=*/true);
      } else if (context.busy_hosts->Contains(busy_marker)) {
        busy = true;
        busy_text = context.busy_hosts->Text();
      }
      // A picture of this very sender is still being fetched: drop the event.
      if (busy) {
        window.Log(remote_ip + "---" + busy_text + "-------->exit");
        return;
      }
      if (path) {
        picture_url = *path;
        window.Log("pic_url:" + picture_url);
      }
    }

    const std::optional<std::string> time_text = Member(root, u"time");
    event_time = time_text ? EventTimeFromText(*time_text, *context.clock) : context.clock->Now();
    const std::string event_text = FormatDateTimeText(event_time, context.date_format);
    state.SetLastEventTime(event_text);

    const double age = AgeSeconds(context.clock->Now(), event_time);
    window.Log(FormatGeneral(age, context.date_format.decimal_separator));

    if (!card_id.empty() && age < kFreshSeconds) {
      window.NavigateMainPaneIfShowing(
          std::string(portal::kPointsPageMark),
          portal::PupilPointsPage(context.portal_host, card_id, state.SchoolSP()));
      state.SetFaceAddr(remote_ip);
    }

    window.Log(":" + logged_card_id + "," + picture_url + "," + event_text);
  } catch (const std::exception& e) {
    window.Log(body + ":" + e.what());
    return;
  }

  if (!picture_url.empty()) {
    try {
      FtpFetchOptions options;
      options.timeouts = context.ftp_timeouts;
      options.marker_held = marker.has_value();
      options.detail = [&window](const std::string& line) { window.LogDetail(line); };
      // The job is recorded from the fetched file itself, before the picture takes its name:
      // the upload sends these bytes, never the named file, which a later picture of the same
      // name may replace at any moment.
      std::optional<UploadJob> job;
      const std::string take_time = FormatTakeTime(event_time);
      options.written = [&](const std::filesystem::path& file, const std::string& name,
                            const std::string& bytes) {
        job = context.uploads->Record(name, card_id, take_time, bytes, &file);
      };
      FetchedPicture picture = FtpFetchPicture(
          picture_url, context.picture_folder, *context.busy_hosts,
          [&window](const std::string& line) { window.Log(line); }, options);
      marker.reset();
      if (job) {
        state.PicsWaiting++;
        ShowPictureCounters(state, window);
        context.uploads->Start(std::move(*job));
      }
      if (!picture.name.empty()) {
        const std::string local_url = kLocalPictureBase + picture.name;
        window.Log("thispic=" + local_url);
        state.SetLastPicture(card_id, local_url);
        window.ArmLiveListTimer();
      }
    } catch (const std::exception&) {
      // A failure around the stored picture never keeps the terminal from its answer.
    }
  }

  window.SetStatus(0,
                   remote_ip + ":" + FormatDateTimeText(context.clock->Now(), context.date_format));
  AResponseInfo.SetResponseNo(200);
  AResponseInfo.ContentText = kCallbackReply;
  AResponseInfo.ContentType = "text/html";
}

}  // namespace pmr::gateway
