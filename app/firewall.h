#pragma once

// Whether the Windows firewall lets other computers open TCP connections to a program: the
// terminal's callbacks on 8090 and the FTP data connections it opens back to the PC (active
// mode, any local port). The platform reads the policy (FirewallAllowsInbound in
// desktop_integration.h); the judgement is here, where it needs no firewall.

#include <cstdint>
#include <string>
#include <vector>

namespace pmr::app {

// NET_FW_PROFILE2_* bits and NET_FW_IP_PROTOCOL_* numbers.
inline constexpr int32_t kFirewallDomain = 1;
inline constexpr int32_t kFirewallPrivate = 2;
inline constexpr int32_t kFirewallPublic = 4;
inline constexpr int32_t kFirewallTcp = 6;
inline constexpr int32_t kFirewallAnyProtocol = 256;

// The installer's rules for both of its programs carry this name.
inline constexpr const char* kFirewallRuleName = "pmrface";

struct FirewallRule {
  std::string program;  // environment variables expanded; empty: every program
  bool enabled = true;
  bool inbound = true;
  bool allow = true;
  int32_t protocol = kFirewallAnyProtocol;
  int32_t profiles = 0x7FFFFFFF;  // the profiles it applies in
  std::string local_ports = "*";  // "*" or empty: every port
};

struct FirewallProfile {
  int32_t type = 0;  // one of kFirewallDomain, kFirewallPrivate, kFirewallPublic
  bool enabled = true;
  bool blocks_all_inbound = false;  // rules do not count ("shields up")
  bool allows_inbound_by_default = false;
};

struct FirewallPolicy {
  int32_t current_profiles = 0;  // the networks' profile bits; 0: judged for all three
  std::vector<FirewallProfile> profiles;  // a profile left out is on and blocks by default
  std::vector<FirewallRule> rules;
};

// True when, in every current profile, the firewall is off, or lets inbound TCP to `program`
// through: an enabled inbound allow rule for it (same path, letter case of A-Z aside, or any
// program) on TCP or any protocol and every local port, and no enabled inbound block rule
// naming it (block rules win).
bool InboundAllowed(const FirewallPolicy& policy, const std::string& program);

// The memo line for a program the firewall does not let through: what the IT person does.
std::string FirewallAdvice(const std::string& program);

}  // namespace pmr::app
