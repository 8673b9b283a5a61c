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
  app::AppState& state = *context.state;
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
  try {
    if (auto person = Member(root, u"personId")) {
      card_id = "fp" + *person;
      logged_card_id = card_id == "fpSTRANGERBABY" ? "" : card_id;
      window.Log("cid:" + logged_card_id);
    }
    const std::string kind = Member(root, u"type").value_or("");

    if (kind.find("face") != std::string::npos) {
      // A picture of this very sender is still being fetched: drop the event.
      if (context.busy_hosts->Contains("(" + remote_ip + ")")) {
        window.Log(remote_ip + "---" + context.busy_hosts->Text() + "-------->exit");
        return;
      }
      if (auto path = Member(root, u"path")) {
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
      std::string location = window.MainPaneLocation().value_or("");
      if (location.find(portal::kPointsPageMark) != std::string::npos) {
        window.NavigateMainPane(
            portal::PupilPointsPage(context.portal_host, card_id, state.SchoolSP()));
      }
      state.SetFaceAddr(remote_ip);
    }

    window.Log(":" + logged_card_id + "," + picture_url + "," + event_text);
  } catch (const std::exception& e) {
    window.Log(body + ":" + e.what());
    return;
  }

  if (!picture_url.empty()) {
    try {
      std::string name = FtpDownLoad(
          picture_url, context.picture_folder, *context.busy_hosts,
          [&window](const std::string& line) { window.Log(line); }, context.ftp_timeouts);
      if (!name.empty()) {
        state.PicsWaiting++;
        ShowPictureCounters(state, window);

        TPAThread worker(UploadContext{&state, &window, context.portal_host});
        worker.PicFile = PathToUtf8(context.picture_folder / PathFromUtf8(name));
        worker.Pid = card_id;
        worker.TakeTime = FormatTakeTime(event_time);
        context.uploads->Start(std::move(worker));

        const std::string local_url = kLocalPictureBase + name;
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
