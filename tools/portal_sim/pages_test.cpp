#include "tools/portal_sim/pages.h"

#include <gtest/gtest.h>

#include "tools/portal_sim/upload_store.h"

namespace pmr::portal_sim {
namespace {

const SiteInfo kSite{"HID-1", "SP-1"};

std::string Page(const std::string& document, std::vector<std::string> params) {
  std::optional<std::string> page = RenderPage(document, params, kSite);
  EXPECT_TRUE(page) << document;
  return page.value_or("");
}

TEST(PortalSimCodecs, EscapesAndStrictBase64) {
  EXPECT_EQ(HtmlEscape("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(ScriptString("</script>\"\\\n"), "\\x3c/script\\x3e\\\"\\\\\\n");
  EXPECT_EQ(UrlEncodeComponent("a b&c=张"), "a%20b%26c%3D%E5%BC%A0");
  EXPECT_EQ(FileNamePart("../fp 1/x"), "___fp_1_x");

  EXPECT_EQ(DecodeBase64Strict(""), std::string());
  EXPECT_EQ(DecodeBase64Strict("TWFu"), std::string("Man"));
  EXPECT_EQ(DecodeBase64Strict("TWE="), std::string("Ma"));
  EXPECT_EQ(DecodeBase64Strict("TQ=="), std::string("M"));
  EXPECT_EQ(DecodeBase64Strict("+/+/"), std::string("\xfb\xff\xbf"));
  for (const char* bad : {"TWF", "TW=u", "T===", "TW u", "====", "TWFu=", "TQ==TWFu", "TW-u"}) {
    EXPECT_FALSE(DecodeBase64Strict(bad)) << bad;
  }
  EXPECT_EQ(Hex64(Fnv1a64("")), "cbf29ce484222325");
  EXPECT_EQ(Hex64(Fnv1a64("a")), "af63dc4c8601ec8c");
}

// The page paths are spelt out here as the portal has them, apart from the bridge's own
// addresses, and near misses of them are no pages.
TEST(PortalSimPages, EveryPortalPathIsAPageAndOthersAreNot) {
  for (const char* doc : {"/club/hlmbo_jdqface_now.html", "/club/index_jdq_s.html",
                          "/mosite/xykq2.html", "/kvtnet/index.html", "/club/xgo.html"}) {
    const std::string page = Page(doc, {"sp=SP-1"});
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos) << doc;
    EXPECT_NE(page.find("<title>"), std::string::npos) << doc;
    // No external resources: nothing is loaded from another host.
    EXPECT_EQ(page.find("src=\"http"), std::string::npos) << doc;
    EXPECT_EQ(page.find("<link"), std::string::npos) << doc;
  }
  for (const char* doc :
       {"/club/other.html", "/", "/CLUB/xgo.html", "/club/xgo.htm", "/club/index_jdq_s.html/",
        "/club/hlmbo_jdqface_now", "/mosite/xykq.html", "/kvtnet/", "/index.html",
        "/wgate/wgate_gethid.asp", "/wgate/pmr_getsp.html", "/fgate/jdq_upload.html"}) {
    EXPECT_FALSE(RenderPage(doc, {}, kSite)) << doc;
  }
}

TEST(PortalSimPages, LiveListDefinesTheFunctionsButtonsAndLinks) {
  const std::string page = Page("/club/hlmbo_jdqface_now.html", {"sp=SP-1"});
  for (const char* part : {"function ins(cardid, picurl, time)",
                           "function jdqfaceapi_takeimg(msg)",
                           "function jdqfaceapi_takecard(msg)",
                           "function jdqfaceapi_update(msg)",
                           "function jdqfaceapi_clearimg(msg)",
                           "window.apiReplies",
                           "id=\"apimsg\"",
                           "id=\"rows\"",
                           "id=\"btn-takeimg\"",
                           "id=\"btn-takecard\"",
                           "id=\"btn-update\"",
                           "id=\"btn-clearimg\"",
                           "id=\"pid\" value=\"1001\"",
                           "id=\"name\" value=\"张三\"",
                           "api: \"http://127.0.0.1:8091\"",
                           "encodeURIComponent",
                           "target=\"_blank\"",
                           "href=\"/club/index_jdq_s.html?sp=SP-1&amp;hid=HID-1\"",
                           "href=\"/club/xgo.html?sp=SP-1&amp;url=hlmbo_cygn.html\"",
                           "maxRows: 50"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
}

TEST(PortalSimPages, HostileQueryValuesAreEscapedEverywhere) {
  const std::string evil = "\"'><script>alert(1)</script>";
  for (const char* doc : {"/club/hlmbo_jdqface_now.html", "/club/index_jdq_s.html",
                          "/mosite/xykq2.html", "/kvtnet/index.html", "/club/xgo.html"}) {
    const std::string page =
        Page(doc, {"sp=" + evil, "hid=" + evil, "cardid=" + evil, "url=" + evil});
    EXPECT_EQ(page.find("<script>alert"), std::string::npos) << doc;
    EXPECT_EQ(page.find("\"'>"), std::string::npos) << doc;
    EXPECT_NE(page.find("&quot;&#39;&gt;&lt;script&gt;"), std::string::npos) << doc;
  }
  const std::string live = Page("/club/hlmbo_jdqface_now.html",
                                {"sp=" + evil, "api=http://evil.example/x", "click=alert"});
  EXPECT_NE(live.find("sp: \"\\\"\\'\\x3e\\x3cscript\\x3ealert(1)\\x3c/script\\x3e\""),
            std::string::npos);
  // Only a page API on loopback and only the four commands are taken from the query.
  EXPECT_NE(live.find("api: \"http://127.0.0.1:8091\""), std::string::npos);
  EXPECT_NE(live.find("click: \"\""), std::string::npos);
  EXPECT_NE(Page("/club/hlmbo_jdqface_now.html", {"api=http://127.0.0.1:1234", "click=update"})
                .find("api: \"http://127.0.0.1:1234\", demo: 0, click: \"update\""),
            std::string::npos);
}

TEST(PortalSimPages, PupilPointsAreStablePerCard) {
  auto points = [](const std::string& card) {
    const std::string page = Page("/club/index_jdq_s.html", {"cardid=" + card, "sp=SP-1"});
    const std::size_t at = page.find("id=\"points\">");
    EXPECT_NE(at, std::string::npos);
    return page.substr(at, page.find('<', at) - at);
  };
  EXPECT_EQ(points("fp1001"), points("fp1001"));
  EXPECT_NE(points("fp1001"), points("fp1002"));
  const std::string school = Page("/club/index_jdq_s.html", {"sp=SP-1", "hid=HID-1"});
  EXPECT_NE(school.find("href=\"/club/index_jdq_s.html?cardid=fp1001&amp;sp=SP-1\""),
            std::string::npos);
}

}  // namespace
}  // namespace pmr::portal_sim
