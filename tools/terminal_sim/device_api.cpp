#include "tools/terminal_sim/device_api.h"

#include <algorithm>
#include <array>

#include "base/text.h"
#include "net/http_message.h"
#include "net/json.h"

namespace pmr::terminal_sim {
namespace {

// The device spells its API itself instead of taking the bridge's constants from terminal/:
// a wrong path or phrase in the bridge must meet a 404 or a reply it does not expect here.
constexpr std::string_view kPassword = "58317094";
constexpr std::string_view kSetIdentifyCallBack = "/setIdentifyCallBack";
constexpr std::string_view kSetDeviceHeartBeat = "/setDeviceHeartBeat";
constexpr std::string_view kPersonCreate = "/person/create";
constexpr std::string_view kPersonUpdate = "/person/update";
constexpr std::string_view kPersonDelete = "/person/delete";
constexpr std::string_view kPersonFind = "/person/find";
constexpr std::string_view kFaceTakeImg = "/face/takeImg";
constexpr std::string_view kFaceIcCardRegist = "/face/icCardRegist";
constexpr std::array kPaths = {kSetIdentifyCallBack, kSetDeviceHeartBeat, kPersonCreate,
                               kPersonUpdate,        kPersonDelete,       kPersonFind,
                               kFaceTakeImg,         kFaceIcCardRegist};
// Person id that deletes every person.
constexpr std::string_view kAllPersons = "-1";

std::string Ok(const std::string& msg) {
  return "{\"result\":1,\"success\":true,\"msg\":" + JsonQuote(msg) + "}";
}

std::string Refused(const std::string& msg) {
  return "{\"result\":0,\"success\":false,\"msg\":" + JsonQuote(msg) + "}";
}

std::string NotFound() { return Refused("人员不存在"); }

std::string Member(const net::JsonValuePtr& object, std::u16string_view name) {
  net::JsonValuePtr value = net::GetMember(object, name);
  return value ? Utf16ToUtf8(net::AsText(*value)) : std::string();
}

}  // namespace

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string DeviceApi::Message(const std::string& reply) {
  return Member(net::ParseJson(Utf8ToUtf16(reply)), u"msg");
}

bool DeviceApi::Handle(const std::string& path, const std::string& form, std::string& reply) {
  if (std::find(kPaths.begin(), kPaths.end(), path) == kPaths.end()) return false;
  std::map<std::string, std::string> fields;
  for (const std::string& line : net::DecodeParams(form)) {
    std::size_t eq = line.find('=');
    std::string name = line.substr(0, eq);
    if (!fields.contains(name)) {
      fields[name] = eq == std::string::npos ? "" : line.substr(eq + 1);
    }
  }
  std::string new_callback;
  std::string new_heartbeat;
  reply = Dispatch(path, fields, new_callback, new_heartbeat);
  if (!new_callback.empty() && on_callback_url) on_callback_url(new_callback);
  if (!new_heartbeat.empty() && on_heartbeat_url) on_heartbeat_url(new_heartbeat);
  return true;
}

std::string DeviceApi::Dispatch(const std::string& path,
                                const std::map<std::string, std::string>& form,
                                std::string& new_callback, std::string& new_heartbeat) {
  auto field = [&](const std::string& name) {
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
  };
  if (field("pass") != kPassword) return Refused("密码错误");
  MutexLock lock(mutex_);
  if (path == kSetIdentifyCallBack) {
    std::string url = field("callbackUrl");
    if (url.empty()) return Refused("callbackUrl不能为空");
    callback_url_ = new_callback = url;
    return Ok("识别回调设置成功");
  }
  if (path == kSetDeviceHeartBeat) {
    std::string url = field("url");
    if (url.empty()) return Refused("url不能为空");
    heartbeat_url_ = new_heartbeat = url;
    return Ok("心跳设置成功");
  }
  if (path == kPersonCreate || path == kPersonUpdate) {
    net::JsonValuePtr record = net::ParseJson(Utf8ToUtf16(field("person")));
    if (!record || record->type() != net::JsonType::kObject) return Refused("person参数错误");
    Record person{Member(record, u"id"), Member(record, u"name"), Member(record, u"idcardNum")};
    if (person.id.empty() || person.id == kAllPersons) return Refused("人员id错误");
    bool exists = persons_.contains(person.id);
    if (path == kPersonUpdate && !exists) return NotFound();
    if (path == kPersonCreate && exists) return Refused("人员id已存在");
    persons_[person.id] = person;
    return Ok(path == kPersonCreate ? "人员创建成功" : "人员更新成功");
  }
  std::string id =
      path == kFaceTakeImg || path == kFaceIcCardRegist ? field("personId") : field("id");
  if (path == kPersonDelete) {
    if (id == kAllPersons) {
      persons_.clear();
      return Ok("全部人员删除成功");
    }
    if (persons_.erase(id) == 0) return NotFound();
    return Ok("人员删除成功");
  }
  auto it = persons_.find(id);
  if (path == kPersonFind) {
    if (it == persons_.end()) return NotFound();
    return "{\"result\":1,\"success\":true,\"data\":{\"id\":" + JsonQuote(it->second.id) +
           ",\"idcardNum\":" + JsonQuote(it->second.idcard) +
           ",\"name\":" + JsonQuote(it->second.name) + "}}";
  }
  // takeImg and icCardRegist.
  if (busy_) return Refused("设备正忙");
  if (it == persons_.end()) return NotFound();
  return Ok(path == kFaceTakeImg ? "正在开启自动拍照模式" : "正在开启IC卡注册模式");
}

void DeviceApi::SetBusy(bool busy) {
  MutexLock lock(mutex_);
  busy_ = busy;
}

bool DeviceApi::busy() const {
  MutexLock lock(mutex_);
  return busy_;
}

std::vector<std::string> DeviceApi::PersonIds() const {
  MutexLock lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& [id, person] : persons_) ids.push_back(id);
  return ids;
}

std::size_t DeviceApi::PersonCount() const {
  MutexLock lock(mutex_);
  return persons_.size();
}

std::string DeviceApi::PersonJson(const std::string& id) const {
  MutexLock lock(mutex_);
  auto it = persons_.find(id);
  if (it == persons_.end()) return "";
  return "{\"id\":" + JsonQuote(it->second.id) + ",\"name\":" + JsonQuote(it->second.name) + "}";
}

std::string DeviceApi::callback_url() const {
  MutexLock lock(mutex_);
  return callback_url_;
}

std::string DeviceApi::heartbeat_url() const {
  MutexLock lock(mutex_);
  return heartbeat_url_;
}

}  // namespace pmr::terminal_sim
