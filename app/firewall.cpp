#include "app/firewall.h"

#include "base/text.h"

namespace pmr::app {
namespace {

// Windows compares paths without letter case; "/" is also a separator there.
std::string PathKey(const std::string& path) {
  std::string key = AsciiLower(path);
  for (char& c : key) {
    if (c == '/') c = '\\';
  }
  return key;
}

bool CoversTcp(const FirewallRule& rule, int32_t profile) {
  return rule.enabled && rule.inbound && (rule.profiles & profile) != 0 &&
         (rule.protocol == kFirewallTcp || rule.protocol == kFirewallAnyProtocol);
}

}  // namespace

bool InboundAllowed(const FirewallPolicy& policy, const std::string& program) {
  const std::string key = PathKey(program);
  const int32_t current = policy.current_profiles != 0
                              ? policy.current_profiles
                              : kFirewallDomain | kFirewallPrivate | kFirewallPublic;
  for (int32_t profile : {kFirewallDomain, kFirewallPrivate, kFirewallPublic}) {
    if ((current & profile) == 0) continue;
    FirewallProfile settings{.type = profile};
    for (const FirewallProfile& p : policy.profiles) {
      if (p.type == profile) settings = p;
    }
    if (!settings.enabled) continue;
    if (settings.blocks_all_inbound) return false;
    bool allowed = settings.allows_inbound_by_default;
    for (const FirewallRule& rule : policy.rules) {
      if (!CoversTcp(rule, profile)) continue;
      const bool named = !rule.program.empty() && PathKey(rule.program) == key;
      if (!rule.allow && named) return false;
      // The FTP data connections come to any port: a rule for some ports is not enough.
      if (rule.allow && (named || rule.program.empty()) &&
          (rule.local_ports.empty() || rule.local_ports == "*")) {
        allowed = true;
      }
    }
    if (!allowed) return false;
  }
  return true;
}

std::string FirewallAdvice(const std::string& program) {
  return "防火墙没有放行 " + program +
         " 的入站连接，识颜台的回调和图片进不来。请运行安装程序 pmrface-setup.exe，"
         "或以管理员身份执行: netsh advfirewall firewall add rule name=\"" +
         kFirewallRuleName + "\" dir=in action=allow program=\"" + program +
         "\" protocol=TCP profile=any enable=yes";
}

}  // namespace pmr::app
