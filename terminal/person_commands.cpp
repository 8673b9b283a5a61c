#include "terminal/person_commands.h"

#include <exception>
#include <optional>
#include <vector>

#include "base/text.h"
#include "net/http_client.h"

namespace pmr::terminal {
namespace {

std::string Url(const TerminalTarget& target, std::string_view path) {
  std::string url = "http://" + target.address + ":" + std::to_string(target.port);
  url += path;
  return url;
}

bool Contains(std::string_view text, std::string_view phrase) {
  return text.find(phrase) != std::string_view::npos;
}

std::string Field(std::string_view name, std::string_view value) {
  std::string line(name);
  line += '=';
  line += value;
  return line;
}

net::THTTPClient& Prepare(net::THTTPClient& client) {
  client.Request().ContentType = "application/x-www-form-urlencoded";
  return client;
}

// The decoded reply, or nothing when the call failed.
std::optional<std::string> Call(net::THTTPClient& client, const std::string& url,
                                std::vector<std::string> fields) {
  try {
    return DecodeUtf8ToAnsi(client.Post(url, fields));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Create or update; the reply when the call succeeded.
std::optional<std::string> SendPerson(const TerminalTarget& target, state::WindowEffects& log,
                                      std::string_view path, std::string_view id,
                                      std::string_view name) {
  net::THTTPClient client;
  Prepare(client);
  const std::string url = Url(target, path);
  auto reply =
      Call(client, url, {Field("pass", target.password), Field("person", PersonRecord(id, name))});
  if (reply) {
    log.Log(target.address + ":" + *reply);
  } else {
    log.Log(url + "...错误！");
  }
  return reply;
}

bool NameMissing(state::WindowEffects& log, std::string_view id, std::string_view name) {
  if (!name.empty()) return false;
  log.Log("pid:" + std::string(id) + ",name=" + std::string(name));
  return true;
}

std::string DeleteCommand(const TerminalTarget& target, state::WindowEffects& log,
                          std::string_view id) {
  std::string result(kFailureText);
  if (target.address.empty()) return result;
  net::THTTPClient client;
  Prepare(client);
  const std::string url = Url(target, kPersonDelete);
  auto reply = Call(client, url, {Field("pass", target.password), Field("id", id)});
  if (!reply) return result;
  log.Log(url);
  log.Log(target.address + ":" + *reply);
  return std::string(kSuccessText);
}

// The capture and card commands: find, create when unknown and start over, then the mode call.
std::string ModeCommand(const TerminalTarget& target, state::WindowEffects& log,
                        std::string_view id, std::string_view name, std::string_view mode_path,
                        std::string_view mode_phrase) {
  for (int restarts = 0;; ++restarts) {
    std::string result(kFailureText);
    if (target.address.empty()) return result;
    net::THTTPClient client;
    Prepare(client);
    const std::string find_url = Url(target, kPersonFind);
    auto found = Call(client, find_url, {Field("pass", target.password), Field("id", id)});
    if (!found) return result;
    log.Log(find_url);
    log.Log(target.address + ":" + *found);
    if (Contains(*found, kNotFound)) {
      // A terminal that never keeps the person would otherwise hold this thread for good.
      if (restarts == kMaxRestarts) return result;
      if (!PersonCreate(target, log, id, name)) return result;
      continue;
    }
    const std::string mode_url = Url(target, mode_path);
    auto reply = Call(client, mode_url, {Field("pass", kPassword), Field("personId", id)});
    if (!reply) return result;
    log.Log(mode_url);
    log.Log(target.address + ":" + *reply);
    result = *reply;
    if (Contains(*reply, kDeviceBusy)) result = kBusyText;
    if (Contains(*reply, mode_phrase)) result = mode_phrase;
    return result;
  }
}

}  // namespace

TerminalTarget CurrentTarget(const state::AppState& state, int port) {
  return {state.FaceAddr(), state.FacePass(), port};
}

bool PersonCreate(const TerminalTarget& target, state::WindowEffects& log, std::string_view id,
                  std::string_view name) {
  if (NameMissing(log, id, name)) return false;
  if (target.address.empty()) return true;
  SendPerson(target, log, kPersonCreate, id, name);
  return true;
}

bool PersonUpdate(const TerminalTarget& target, state::WindowEffects& log, std::string_view id,
                  std::string_view name) {
  if (NameMissing(log, id, name)) return false;
  if (target.address.empty()) return true;
  auto reply = SendPerson(target, log, kPersonUpdate, id, name);
  if (reply && Contains(*reply, kNotFound)) PersonCreate(target, log, id, name);
  return true;
}

std::string PersonDelete(const TerminalTarget& target, state::WindowEffects& log,
                         std::string_view id) {
  return DeleteCommand(target, log, id);
}

std::string PersonDeleteAll(const TerminalTarget& target, state::WindowEffects& log) {
  return DeleteCommand(target, log, kAllPersons);
}

std::string FaceTakeImg(const TerminalTarget& target, state::WindowEffects& log,
                        std::string_view id, std::string_view name) {
  return ModeCommand(target, log, id, name, kFaceTakeImg, kStartingPhotoMode);
}

std::string FaceIcCardRegist(const TerminalTarget& target, state::WindowEffects& log,
                             std::string_view id, std::string_view name) {
  return ModeCommand(target, log, id, name, kFaceIcCardRegist, kStartingCardMode);
}

}  // namespace pmr::terminal
