#include "portal/portal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace pmr::portal {
namespace {

TEST(PortalTest, AddressesAreBuiltVerbatim) {
  const std::string h = "portal.test:8080";
  EXPECT_EQ(IssueIdentityUrl(h), "http://portal.test:8080/wgate/wgate_gethid.asp");
  EXPECT_EQ(SchoolCodeUrl(h, "H1"), "http://portal.test:8080/wgate/pmr_getsp.html?hid=H1");
  EXPECT_EQ(UploadUrl(h), "http://portal.test:8080/fgate/jdq_upload.html");
  EXPECT_EQ(PointsPage(h, "S 1", ""), "http://portal.test:8080/club/index_jdq_s.html?sp=S 1&hid=");
  EXPECT_EQ(PupilPointsPage(h, "fp12&x", "S"),
            "http://portal.test:8080/club/index_jdq_s.html?cardid=fp12&x&sp=S");
  EXPECT_EQ(AttendancePage(h, "S"), "http://portal.test:8080/mosite/xykq2.html?sp=S");
  EXPECT_EQ(LiveListPage(h, "S"), "http://portal.test:8080/club/hlmbo_jdqface_now.html?sp=S");
  EXPECT_EQ(SmartSchoolPage(h, "S"),
            "http://portal.test:8080/club/xgo.html?sp=S&url=hlmbo_cygn.html");
  EXPECT_EQ(RegistrationPage(h, "H"), "http://portal.test:8080/kvtnet/index.html?hid=H");
}

TEST(PortalTest, HostFromEnvironmentOverridesTheBuild) {
  ::unsetenv("PMRFACE_PORTAL_HOST");
  std::string built = PortalHost();
  EXPECT_FALSE(built.empty());
  ::setenv("PMRFACE_PORTAL_HOST", "127.0.0.3:9000", 1);
  EXPECT_EQ(PortalHost(), "127.0.0.3:9000");
  ::setenv("PMRFACE_PORTAL_HOST", "", 1);
  EXPECT_EQ(PortalHost(), built);
  ::unsetenv("PMRFACE_PORTAL_HOST");
}

}  // namespace
}  // namespace pmr::portal
