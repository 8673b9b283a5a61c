#include "terminal/binding.h"

#include <vector>

#include "base/text.h"
#include "net/http_client.h"
#include "portal/portal.h"
#include "terminal/terminal_api.h"

namespace pmr::terminal {
namespace {

std::string PortalGet(const std::string& url) {
  net::THTTPClient client;
  return client.Get(url);
}

std::string TerminalCall(net::THTTPClient& client, const std::string& address, int port,
                         std::string_view path, std::vector<std::string> lines) {
  std::string url = "http://" + address + ":" + std::to_string(port) + std::string(path);
  return client.Post(url, lines);
}

}  // namespace

void TPAThread2::Execute() {
  state::AppState& state = *context_.state;
  BindingWindow& window = *context_.window;

  std::string own;
  try {
    own = context_.own_address();
  } catch (const std::exception&) {
    return;  // no address of our own: nothing to bind, no retry
  }
  window.SetStatus(0, "本机IP地址:" + own);

  // The portal's failures leave their message and a retry; the run goes on, as the terminal
  // still deserves its callback address. A PC that starts before its network is bound once
  // the portal answers, without a restart.
  bool portal_failed = false;
  if (state.SchoolHID().empty()) {
    std::string hid;
    try {
      hid = PortalGet(portal::IssueIdentityUrl(context_.portal_host));
    } catch (const std::exception& e) {
      window.SetStatus(0, "网络故障，无法获取HID...");
      window.Log(kQuitRequestLine);
      window.LogDetail(std::string("binding: the identity issue failed: ") + e.what());
      portal_failed = true;
    }
    state.SetSchoolHID(hid);
    state.WriteConfig("HID", hid);
    if (hid.empty()) window.Log(kQuitRequestLine);
  }

  try {
    std::string sp = PortalGet(portal::SchoolCodeUrl(context_.portal_host, state.SchoolHID()));
    const bool changed = sp != state.SchoolSP();
    state.SetSchoolSP(std::move(sp));
    if (context_.open_first_pages || changed) window.ArmFirstPagesTimer();
  } catch (const std::exception& e) {
    window.SetStatus(0, "网络故障，无法获取SP...");
    window.Log(kQuitRequestLine);
    window.LogDetail(std::string("binding: the school code look-up failed: ") + e.what());
    portal_failed = true;
  }
  if (portal_failed) window.RetryBindingAfter(kBindingRetryMs);

  const std::string face_addr = state.FaceAddr();
  if (face_addr.empty()) return;
  net::THTTPClient client;
  client.Request().ContentType = "application/x-www-form-urlencoded";
  try {
    const std::string callback = CallbackUrl(context_.own_address());
    TerminalCall(client, face_addr, context_.terminal_port, kSetIdentifyCallBack,
                 {"pass=" + std::string(kPassword), "callbackUrl=" + callback});
    std::string reply = TerminalCall(client, face_addr, context_.terminal_port, kSetDeviceHeartBeat,
                                     {"pass=" + std::string(kPassword), "url=" + callback});
    window.SetStatus(0, face_addr + ":" + DecodeUtf8ToAnsi(reply));
  } catch (const std::exception& e) {
    window.SetStatus(0, "青禾田识颜台没有开启或网络故障！");
    window.LogDetail("binding: the terminal at " + face_addr + " failed: " + e.what());
    window.RetryBindingAfter(kBindingRetryMs);
  }
}

}  // namespace pmr::terminal
