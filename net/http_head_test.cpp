#include "net/http_head.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace pmr::net {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using Request = RequestHeadParser::Status;
using Reply = ReplyHeadParser::Status;

struct RequestCase {
  std::string bytes;
  Request status;
  std::string error;
  std::size_t consumed;
  std::size_t max_head = 23;
};

TEST(RequestHeadTest, EachHeadEndsAsTheServerDecides) {
  const std::string at_cap(kMaxHeadLine, 'a');
  const RequestCase cases[] = {
      {"GET / HTTP/1.1\r\n\r\nbody", Request::kComplete, "", 18},
      {"GET / HTTP/1.1\n\n", Request::kComplete, "", 16},
      // Decided at the request line, before any header arrives.
      {"PUT / HTTP/1.1\r\nHost: h\r\n\r\n", Request::kUnserved, "", 16},
      {"GET\r\n\r\n", Request::kFailed, "Error in parsing command.", 5},
      {"GET /" + at_cap + "\r\n", Request::kFailed, "Max line length exceeded.", 0},
      {"GET / HTTP/1.1\r\nX: " + at_cap.substr(3) + "\r\n\r\n", Request::kComplete, "",
       16 + kMaxHeadLine + 4, 1 << 20},
      // Unfinished: one byte over the cap may still be the CR.
      {"GET / HTTP/1.1\r\n" + at_cap + "\r", Request::kMore, "", 16},
      {"GET / HTTP/1.1\r\n" + at_cap + "xy", Request::kFailed, "Max line length exceeded.", 16},
      // 14 + 6 + 3 bytes of head fit exactly; three more do not.
      {"GET / HTTP/1.1\r\nA: 1\r\nB\r\n\r\n", Request::kComplete, "", 27},
      {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n", Request::kFailed, "Request head too large.", 28},
      {"GET / HTTP/1.1\r\nHost: h\r\n", Request::kMore, "", 25},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    RequestHeadParser parser(c.max_head);
    std::size_t consumed = 99;
    EXPECT_EQ(parser.FeedHead(c.bytes, consumed), c.status);
    EXPECT_EQ(parser.error(), c.error);
    EXPECT_EQ(consumed, c.consumed);
  }
}

TEST(RequestHeadTest, HeadAndBodyFillTheRequest) {
  RequestHeadParser parser(1 << 20);
  std::size_t consumed = 0;
  ASSERT_EQ(parser.FeedHead("post http://10.1.2.3:81/a%20b/c=%41?x=1&y=%42 HTTP/1.0\n"
                            "Content-Type: Application/X-WWW-Form-Urlencoded\r\n"
                            "Content-Length: +3 \n"
                            "..Odd: dots\n"
                            "X-Folded: one\n"
                            "\t two\n"
                            "Cookie: a=1;; b=2 \n"
                            "Authorization: basic dXNlcjpwYTpzcw==\n"
                            "\n",
                            consumed),
            Request::kComplete);
  THTTPRequestInfo& r = parser.request();
  EXPECT_EQ(r.Command, "POST");
  EXPECT_EQ(r.Version, "HTTP/1.0");
  EXPECT_EQ(r.Document, "/a b/c=%41");
  EXPECT_EQ(r.Host, "10.1.2.3");
  EXPECT_EQ(r.QueryParams, "x=1&y=%42");
  EXPECT_EQ(r.ContentLength, 3);
  EXPECT_EQ(r.RawHeaders[2], ".Odd: dots");
  EXPECT_EQ(r.RawHeaders.Values("x-folded"), "one two");
  EXPECT_THAT(r.Cookies, ElementsAre("a=1", "b=2"));
  ASSERT_TRUE(parser.Finish("z=3", /*parse_params=*/true));
  EXPECT_EQ(r.UnparsedParams, "z=3\r\nx=1&y=%42");
  EXPECT_THAT(r.Params, ElementsAre("z=3\r\nx=1", "y=B"));
  EXPECT_TRUE(r.AuthExists);
  EXPECT_EQ(r.AuthUsername, "user");
  EXPECT_EQ(r.AuthPassword, "pa:ss");

  for (const auto& [value, error] :
       {std::pair{"Digest x", "Unsupported authorization scheme."},
        std::pair{"Basic abc", "Uneven size in DecodeToStream."}}) {
    RequestHeadParser refused(1 << 20);
    refused.FeedHead("GET / HTTP/1.1\r\nAuthorization: " + std::string(value) + "\r\n\r\n",
                     consumed);
    EXPECT_FALSE(refused.Finish("", true));
    EXPECT_EQ(refused.error(), error);
  }

  for (const char* length : {"-1", "x", "", "1 2", "99999999999999999999"}) {
    EXPECT_EQ(ParseContentLength(length), -1) << length;
  }
}

TEST(ReplyHeadTest, InterimHeadsAreSkippedAndValuesTaken) {
  THTTPClientResponse response;
  ReplyHeadParser parser(response, 1 << 20);
  EXPECT_EQ(parser.Feed("HTTP/1.1 100 Continue"), Reply::kMore);
  EXPECT_EQ(parser.Feed("Set-Cookie: early=1"), Reply::kMore);
  EXPECT_EQ(parser.Feed(""), Reply::kInterim);
  EXPECT_THAT(ReplyCookies(response.RawHeaders), ElementsAre(Pair("early", "1")));

  std::size_t consumed = 0;
  EXPECT_EQ(parser.FeedHead("HTTP/1.0  302 Found\r\n"
                            "Content-Length: -5\n"
                            "Location: /x\r\n"
                            "Set-Cookie: s = v ; path=/\r\n"
                            " folded: no\r\n"
                            "Set-Cookie2: =nameless\r\n"
                            "\r\nbody",
                            consumed),
            Reply::kComplete);
  EXPECT_EQ(response.ResponseText, "HTTP/1.0  302 Found");
  EXPECT_EQ(response.ResponseCode, 302);
  EXPECT_TRUE(response.HasContentLength);
  EXPECT_EQ(response.ContentLength, -5);
  EXPECT_EQ(response.Location, "/x");
  EXPECT_THAT(ReplyCookies(response.RawHeaders), ElementsAre(Pair("s", "v")));

  for (const char* line : {"HTTP/1.1", "HTTP/1.1 +200 OK", "HTTP/1.1 -1", "HTTP/1.1 1234567890",
                           "HTTP/1.1 2x0"}) {
    EXPECT_EQ(ParseStatusCode(line), -1) << line;
  }
  EXPECT_EQ(ParseStatusCode("HTTP/1.1 123456789"), 123456789);
}

TEST(ReplyHeadTest, CapCountsEveryHeadTogether) {
  THTTPClientResponse response;
  // 14 + 2 bytes of the interim head and 14 of the status line leave too little for "X".
  ReplyHeadParser parser(response, 31);
  std::size_t consumed = 0;
  EXPECT_EQ(parser.FeedHead("HTTP/1.1 100\r\n\r\nHTTP/1.1 200\r\nX\r\n", consumed),
            Reply::kFailed);
  EXPECT_EQ(parser.error(), "Reply head exceeds 31 bytes.");
  EXPECT_EQ(response.ResponseCode, 200);

  THTTPClientResponse other;
  ReplyHeadParser long_line(other, 1 << 20);
  EXPECT_EQ(long_line.FeedHead("HTTP/1.1 200 " + std::string(kMaxHeadLine, 'x') + "\r\n",
                               consumed),
            Reply::kFailed);
  EXPECT_EQ(long_line.error(), "Max line length exceeded.");
  EXPECT_EQ(consumed, 0u);
}

}  // namespace
}  // namespace pmr::net
