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
  app::AppState& state = *context_.state;
  BindingWindow& window = *context_.window;

  std::string own;
  try {
    own = context_.own_address();
  } catch (const std::exception&) {
    return;  // no address of our own: nothing to bind, no retry
  }
  window.SetStatus(0, "本机IP地址:" + own);

  // The portal's failures leave their message; the run goes on, as the terminal still
  // deserves its callback address.
  if (state.SchoolHID().empty()) {
    std::string hid;
    try {
      hid = PortalGet(portal::IssueIdentityUrl(context_.portal_host));
    } catch (const std::exception&) {
      window.SetStatus(0, "网络故障，无法获取HID...");
      window.Log(kQuitRequestLine);
    }
    state.SetSchoolHID(hid);
    state.WriteConfig("HID", hid);
    if (hid.empty()) window.Log(kQuitRequestLine);
  }

  try {
    state.SetSchoolSP(PortalGet(portal::SchoolCodeUrl(context_.portal_host, state.SchoolHID())));
    window.ArmFirstPagesTimer();
  } catch (const std::exception&) {
    window.SetStatus(0, "网络故障，无法获取SP...");
    window.Log(kQuitRequestLine);
  }

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
  } catch (const std::exception&) {
    window.SetStatus(0, "青禾田识颜台没有开启或网络故障！");
    window.RetryBindingAfter(kBindingRetryMs);
  }
}

}  // namespace pmr::terminal
