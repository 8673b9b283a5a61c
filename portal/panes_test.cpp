#include "portal/panes.h"

#include <gtest/gtest.h>

namespace pmr::portal {
namespace {

TEST(PanesTest, InsScriptCarriesTheThreeValues) {
  EXPECT_EQ(InsScript("fp1001", "http://127.0.0.1:8091/a.jpg", "2020/9/13 20:26:40"),
            "ins(\"fp1001\",\"http://127.0.0.1:8091/a.jpg\",\"2020/9/13 20:26:40\")");
  // A quote or backslash in a value stays inside its string.
  EXPECT_EQ(InsScript("fp\"); alert(1); (\"", "a\\b", "x\ny"),
            "ins(\"fp\\\"); alert(1); (\\\"\",\"a\\\\b\",\"x\\ny\")");
}

TEST(PanesTest, LeftPaneLinksToPointsAndSmartSchoolOpenInTheMainPane) {
  auto points = DecideLeftPaneNavigation("http://p/club/index_jdq_s.html?cardid=fp1");
  EXPECT_TRUE(points.cancel);
  EXPECT_EQ(points.main_navigations,
            std::vector<std::string>{"http://p/club/index_jdq_s.html?cardid=fp1"});
  EXPECT_TRUE(DecideLeftPaneNavigation("http://p/club/xgo.html?sp=1").cancel);

  auto both = DecideLeftPaneNavigation("http://p/xgo/index_jdq_s.html");
  EXPECT_EQ(both.main_navigations.size(), 2u);

  for (const char* stays : {"http://p/club/hlmbo_jdqface_now.html?sp=", "http://p/INDEX_JDQ_S.html",
                            "http://p/XGO.html", "about:blank"}) {
    auto d = DecideLeftPaneNavigation(stays);
    EXPECT_FALSE(d.cancel) << stays;
    EXPECT_TRUE(d.main_navigations.empty()) << stays;
  }
}

}  // namespace
}  // namespace pmr::portal
