#pragma once

// Person and face commands on the face terminal. Each runs synchronously on its caller's
// thread, makes its own HTTP client per call, never throws for terminal failures and logs
// through `log` (safe from any thread).

#include <string>
#include <string_view>

#include "state/app_state.h"
#include "state/effects.h"
#include "terminal/terminal_api.h"

namespace pmr::terminal {

// Where the commands send their calls: a copy taken once per command, so a concurrent change
// of the terminal address cannot split one command between two terminals.
struct TerminalTarget {
  std::string address;   // FaceAddr; empty: the commands make no call
  std::string password;  // FacePass, sent by the person calls
  int port = kPort;
};

// The terminal as the application state names it now.
TerminalTarget CurrentTarget(const state::AppState& state, int port = kPort);

// Fixed result texts.
inline constexpr std::string_view kFailureText = "操作失败，请重新操作。";
inline constexpr std::string_view kSuccessText = "操作成功！";
inline constexpr std::string_view kBusyText = "设备正忙，请稍后操作";

// How often a capture or card command starts over after creating a person that the terminal
// still does not find; then it gives the failure text.
inline constexpr int kMaxRestarts = 3;

// False only for an empty name; true whatever the terminal answered.
bool PersonCreate(const TerminalTarget& target, state::WindowEffects& log, std::string_view id,
                  std::string_view name);
// Updates, and creates when the terminal does not know the person. False only for an empty name.
bool PersonUpdate(const TerminalTarget& target, state::WindowEffects& log, std::string_view id,
                  std::string_view name);
// "操作成功！" once the terminal answered, else the failure text.
std::string PersonDelete(const TerminalTarget& target, state::WindowEffects& log,
                         std::string_view id);
std::string PersonDeleteAll(const TerminalTarget& target, state::WindowEffects& log);
// Switches the terminal into face capture (card registration) for the person, creating the
// person first when unknown. Gives a fixed text or the terminal's decoded reply.
std::string FaceTakeImg(const TerminalTarget& target, state::WindowEffects& log,
                        std::string_view id, std::string_view name);
std::string FaceIcCardRegist(const TerminalTarget& target, state::WindowEffects& log,
                             std::string_view id, std::string_view name);

}  // namespace pmr::terminal
