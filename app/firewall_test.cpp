#include "app/firewall.h"

#include <gtest/gtest.h>

#include <string>

namespace pmr::app {
namespace {

constexpr const char* kProgram = "C:\\Program Files\\kvt\\pmr.exe";

// The installer's rule: program-based, every profile, TCP.
FirewallRule InstallerRule() {
  FirewallRule rule;
  rule.program = kProgram;
  rule.protocol = kFirewallTcp;
  return rule;
}

FirewallPolicy PublicNetwork(std::vector<FirewallRule> rules) {
  FirewallPolicy policy;
  policy.current_profiles = kFirewallPublic;
  policy.rules = std::move(rules);
  return policy;
}

TEST(FirewallTest, OnlyAnEnabledInboundTcpAllowRuleForTheProgramInTheCurrentProfileLetsIn) {
  EXPECT_FALSE(InboundAllowed(PublicNetwork({}), kProgram));
  EXPECT_TRUE(InboundAllowed(PublicNetwork({InstallerRule()}), kProgram));
  // Windows paths ignore letter case and take either slash.
  EXPECT_TRUE(InboundAllowed(PublicNetwork({InstallerRule()}), "c:/PROGRAM FILES/KVT/PMR.EXE"));
  EXPECT_FALSE(InboundAllowed(PublicNetwork({InstallerRule()}), "C:\\Program Files\\kvt\\pmrface.exe"));

  struct Case {
    const char* what;
    void (*change)(FirewallRule&);
    bool allowed;
  };
  const Case cases[] = {
      {"disabled", [](FirewallRule& r) { r.enabled = false; }, false},
      {"outbound", [](FirewallRule& r) { r.inbound = false; }, false},
      {"UDP only", [](FirewallRule& r) { r.protocol = 17; }, false},
      {"any protocol", [](FirewallRule& r) { r.protocol = kFirewallAnyProtocol; }, true},
      {"private only", [](FirewallRule& r) { r.profiles = kFirewallPrivate; }, false},
      {"public and domain",
       [](FirewallRule& r) { r.profiles = kFirewallPublic | kFirewallDomain; }, true},
      {"port 8090 only", [](FirewallRule& r) { r.local_ports = "8090"; }, false},
      {"no ports named", [](FirewallRule& r) { r.local_ports = ""; }, true},
      {"every program", [](FirewallRule& r) { r.program = ""; }, true},
      {"a program of a similar name",
       [](FirewallRule& r) { r.program = "C:\\Program Files\\kvt\\pmr.exe.bak"; }, false},
  };
  for (const Case& c : cases) {
    FirewallRule rule = InstallerRule();
    c.change(rule);
    EXPECT_EQ(InboundAllowed(PublicNetwork({rule}), kProgram), c.allowed) << c.what;
  }
}

TEST(FirewallTest, BlockRulesWinAndEachCurrentProfileIsJudged) {
  // The rules that a dismissed first-start prompt leaves: block, for the program.
  FirewallRule block = InstallerRule();
  block.allow = false;
  block.profiles = kFirewallPublic;
  EXPECT_FALSE(InboundAllowed(PublicNetwork({InstallerRule(), block}), kProgram));
  EXPECT_FALSE(InboundAllowed(PublicNetwork({block, InstallerRule()}), kProgram));
  // Another program's block rule, or a disabled one, does not matter.
  FirewallRule other = block;
  other.program = "C:\\other.exe";
  EXPECT_TRUE(InboundAllowed(PublicNetwork({InstallerRule(), other}), kProgram));
  block.enabled = false;
  EXPECT_TRUE(InboundAllowed(PublicNetwork({InstallerRule(), block}), kProgram));

  // Two networks: both profiles need the rule; no profile known: all three do.
  FirewallRule private_only = InstallerRule();
  private_only.profiles = kFirewallPrivate;
  FirewallPolicy two = PublicNetwork({private_only});
  two.current_profiles = kFirewallPrivate | kFirewallPublic;
  EXPECT_FALSE(InboundAllowed(two, kProgram));
  two.current_profiles = kFirewallPrivate;
  EXPECT_TRUE(InboundAllowed(two, kProgram));
  two.current_profiles = 0;
  EXPECT_FALSE(InboundAllowed(two, kProgram));

  // A profile whose firewall is off, or lets everything in, needs no rule; "shields up"
  // lets nothing in whatever the rules say.
  FirewallPolicy policy = PublicNetwork({});
  policy.profiles = {{.type = kFirewallPublic, .enabled = false}};
  EXPECT_TRUE(InboundAllowed(policy, kProgram));
  policy.profiles = {{.type = kFirewallPublic, .allows_inbound_by_default = true}};
  EXPECT_TRUE(InboundAllowed(policy, kProgram));
  policy.profiles = {{.type = kFirewallPublic, .blocks_all_inbound = true}};
  policy.rules = {InstallerRule()};
  EXPECT_FALSE(InboundAllowed(policy, kProgram));
  policy.profiles = {{.type = kFirewallPrivate, .blocks_all_inbound = true}};
  EXPECT_TRUE(InboundAllowed(policy, kProgram));
}

TEST(FirewallTest, AdviceNamesTheProgramAndTheRuleToAdd) {
  EXPECT_EQ(FirewallAdvice(kProgram),
            "防火墙没有放行 C:\\Program Files\\kvt\\pmr.exe 的入站连接，识颜台的回调和图片进不来。"
            "请运行安装程序 pmrface-setup.exe，或以管理员身份执行: netsh advfirewall firewall "
            "add rule name=\"pmrface\" dir=in action=allow "
            "program=\"C:\\Program Files\\kvt\\pmr.exe\" protocol=TCP profile=any enable=yes");
}

}  // namespace
}  // namespace pmr::app
