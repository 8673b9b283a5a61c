#pragma once

// The face terminal's HTTP API as this program calls it: paths, fields, the password and the
// reply phrases it looks for. Every call is a form POST to "http://" + address + ":8090" + path,
// with "pass" as the first field.

#include <string>
#include <string_view>

namespace pmr::terminal {

inline constexpr std::string_view kPassword = "58317094";
inline constexpr int kPort = 8090;

inline constexpr std::string_view kSetIdentifyCallBack = "/setIdentifyCallBack";
inline constexpr std::string_view kSetDeviceHeartBeat = "/setDeviceHeartBeat";
inline constexpr std::string_view kPersonCreate = "/person/create";
inline constexpr std::string_view kPersonUpdate = "/person/update";
inline constexpr std::string_view kPersonDelete = "/person/delete";
inline constexpr std::string_view kPersonFind = "/person/find";
inline constexpr std::string_view kFaceTakeImg = "/face/takeImg";
inline constexpr std::string_view kFaceIcCardRegist = "/face/icCardRegist";

// Person id that deletes every person.
inline constexpr std::string_view kAllPersons = "-1";

// Reply phrases, looked for as substrings of the UTF-8 reply.
inline constexpr std::string_view kNotFound = "不存在";
inline constexpr std::string_view kDeviceBusy = "设备正忙";
inline constexpr std::string_view kStartingPhotoMode = "正在开启自动拍照模式";
inline constexpr std::string_view kStartingCardMode = "正在开启IC卡注册模式";

// "http://" + address + ":8090" + path.
std::string TerminalUrl(std::string_view address, std::string_view path);

// {"id":"...","idcardNum":"","name":"..."} without blanks; id and name (UTF-8) are escaped
// for JSON so that a quote or backslash in a name cannot break the record.
std::string PersonRecord(std::string_view id, std::string_view name);

// The callback and heart-beat address registered with the terminal.
std::string CallbackUrl(std::string_view own_address);

}  // namespace pmr::terminal
