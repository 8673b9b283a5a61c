#include "net/http_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>

namespace pmr::net {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class StringSink : public ResponseSink {
 public:
  void Write(std::string_view bytes) override {
    text += bytes;
    writes.push_back(bytes.size());
  }
  std::string text;
  std::vector<std::size_t> writes;
};

// A stream that claims `claimed` bytes when asked for its size but holds only `held`.
class ShortBuf : public std::streambuf {
 public:
  ShortBuf(std::size_t claimed, std::size_t held) : data_(held, 'x'), claimed_(claimed) {
    setg(data_.data(), data_.data(), data_.data() + data_.size());
  }

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    if (dir == std::ios_base::end) {
      at_end_ = true;
      return pos_type(static_cast<off_type>(claimed_) + off);
    }
    if (dir == std::ios_base::cur && off == 0) {
      return at_end_ ? pos_type(static_cast<off_type>(claimed_)) : pos_type(gptr() - eback());
    }
    if (dir == std::ios_base::beg && off == 0) {
      at_end_ = false;
      setg(data_.data(), data_.data(), data_.data() + data_.size());
      return pos_type(0);
    }
    return pos_type(off_type(-1));
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override {
    return seekoff(off_type(pos), std::ios_base::beg, mode);
  }

 private:
  std::string data_;
  std::size_t claimed_;
  bool at_end_ = false;
};

struct ShortBufHolder {
  ShortBufHolder(std::size_t claimed, std::size_t held) : buf(claimed, held) {}
  ShortBuf buf;
};

class ShortStream : private ShortBufHolder, public std::istream {
 public:
  ShortStream(std::size_t claimed, std::size_t held)
      : ShortBufHolder(claimed, held), std::istream(&buf) {}
};

TEST(UrlDecodeTest, PlusPercentAndBrokenEscapes) {
  EXPECT_EQ(UrlDecode("a+b"), "a b");
  EXPECT_EQ(UrlDecode("%E5%BC%A0"), "\xE5\xBC\xA0");
  EXPECT_EQ(UrlDecode("%41%62%7e"), "Ab~");
  // A zero, non-hexadecimal digits and a short tail vanish with up to two bytes after "%".
  EXPECT_EQ(UrlDecode("a%00b"), "ab");
  EXPECT_EQ(UrlDecode("a%zzb"), "ab");
  EXPECT_EQ(UrlDecode("a%4zb"), "ab");
  EXPECT_EQ(UrlDecode("ab%"), "ab");
  EXPECT_EQ(UrlDecode("ab%4"), "ab");
  // "+" turns into a blank before the escapes are read.
  EXPECT_EQ(UrlDecode("%+41"), "1");
  EXPECT_EQ(UrlDecode("%%41"), "1");
  EXPECT_EQ(UrlDecode("%FF"), "\xFF");
}

TEST(DecodeParamsTest, CutsAtEveryAmpersandThenDecodes) {
  EXPECT_THAT(DecodeParams("pid=12&name=%E5%BC%A0"), ElementsAre("pid=12", "name=\xE5\xBC\xA0"));
  EXPECT_THAT(DecodeParams("a&&b&"), ElementsAre("a", "", "b", ""));
  EXPECT_THAT(DecodeParams(""), IsEmpty());
  EXPECT_THAT(DecodeParams("&"), ElementsAre("", ""));
  // An encoded "&" or "=" is decoded after the cut and splits nothing.
  EXPECT_THAT(DecodeParams("v=%26x%3Dy&w=1"), ElementsAre("v=&x=y", "w=1"));
  EXPECT_THAT(DecodeParams("a=1&b=2\r\nc=3"), ElementsAre("a=1", "b=2\r\nc=3"));
}

TEST(FormEncodeTest, KeepsOnlyLettersAndDigitsAndDecodesBack) {
  EXPECT_EQ(FormEncode("a b-c.d_e*f=g&h"), "a+b%2Dc%2Ed%5Fe%2Af%3Dg%26h");
  EXPECT_EQ(FormEncode("\xD5\xC5"), "%D5%C5");
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
  EXPECT_EQ(UrlDecode(FormEncode(every_byte)), every_byte);
  EXPECT_THAT(DecodeParams("v=" + FormEncode("1&2=3")), ElementsAre("v=1&2=3"));
}

TEST(DecodeDocumentTest, PathsOfRequestLines) {
  EXPECT_EQ(DecodeDocument("/takeimg"), "/takeimg");
  EXPECT_EQ(DecodeDocument("/"), "/");
  EXPECT_EQ(DecodeDocument("/a+b.jpg"), "/a b.jpg");
  EXPECT_EQ(DecodeDocument("*"), "*");
  EXPECT_EQ(DecodeDocument(""), "");
  EXPECT_EQ(DecodeDocument("/my%20dir/f%41.jpg"), "/my dir/fA.jpg");
  // The directory and the name are decoded apart: an escape cannot reach across the last "/".
  EXPECT_EQ(DecodeDocument("/%/x"), "/x");
  // From the first "=" on the text stays undecoded.
  EXPECT_EQ(DecodeDocument("/a/b%41=c%41+d"), "/a/bA=c%41+d");
  EXPECT_EQ(DecodeDocument("/a%41=b/c%41"), "/aA=b/c%41");
  EXPECT_EQ(DecodeDocument("\\pic\\a.jpg"), "/pic/a.jpg");
  EXPECT_EQ(DecodeDocument("http://10.1.2.3:8091/pic/x%20y.jpg"), "/pic/x y.jpg");
  EXPECT_EQ(DecodeDocument("http://10.1.2.3"), "/");
}

TEST(SplitUriTest, BackslashesBecomeSlashesExceptDoubleByteTrail) {
  // 0xD5 0x5C is one code page 936 character: its 0x5C is no backslash.
  UriParts parts = SplitUri("\\\xD5\x5C\\name.jpg");
  EXPECT_EQ(parts.path, "/\xD5\x5C/");
  EXPECT_EQ(parts.document, "name.jpg");
  // A lead byte at the very end has no trail, and a backslash after a pair is converted.
  EXPECT_EQ(SplitUri("/a\xB0\xA1\\b").path, "/a\xB0\xA1/");
  EXPECT_EQ(SplitUri("/a\\\xB0").document, "\xB0");
}

TEST(SplitUriTest, AbsoluteAndRelative) {
  UriParts full = SplitUri("http://user:pw@example.test:8090/person/find?id=7&x=%41");
  EXPECT_EQ(full.scheme, "http");
  EXPECT_EQ(full.username, "user");
  EXPECT_EQ(full.password, "pw");
  EXPECT_EQ(full.host, "example.test");
  EXPECT_EQ(full.port, "8090");
  EXPECT_EQ(full.path, "/person/");
  EXPECT_EQ(full.document, "find");
  EXPECT_EQ(full.query, "id=7&x=%41");
  EXPECT_EQ(full.Target(), "/person/find?id=7&x=%41");

  UriParts bare = SplitUri("http://10.0.0.9");
  EXPECT_EQ(bare.host, "10.0.0.9");
  EXPECT_EQ(bare.port, "");
  EXPECT_EQ(bare.Target(), "/");

  UriParts relative = SplitUri("/club/index_jdq_s.html?cardid=fp1&sp=");
  EXPECT_EQ(relative.scheme, "");
  EXPECT_EQ(relative.host, "");
  EXPECT_EQ(relative.path, "/club/");
  EXPECT_EQ(relative.document, "index_jdq_s.html");
  EXPECT_EQ(relative.Target(), "/club/index_jdq_s.html?cardid=fp1&sp=");
  EXPECT_EQ(SplitUri("/x?").Target(), "/x?");

  // "://" inside a path does not make a scheme.
  UriParts odd = SplitUri("/go/http://x");
  EXPECT_EQ(odd.scheme, "");
  EXPECT_EQ(odd.path, "/go/http://");
}

TEST(HeaderListTest, LookupIgnoresCaseAndBlankAfterColon) {
  THeaderList with_blank;
  with_blank.Add("Content-Type: text/html");
  THeaderList without_blank;
  without_blank.Add("Content-Type:text/html");
  EXPECT_EQ(with_blank.Values("content-type"), "text/html");
  EXPECT_EQ(without_blank.Values("CONTENT-TYPE"), "text/html");
  EXPECT_EQ(without_blank.Values("Content"), "");
  EXPECT_EQ(without_blank.IndexOfName("Content-Type"), 0);
  EXPECT_EQ(without_blank.IndexOfName("Host"), -1);
}

TEST(HeaderListTest, ValuesJoinContinuationLinesAndTrim) {
  THeaderList list;
  list.Add("X-Long:  first  ");
  list.Add("  second");
  list.Add("\tthird");
  list.Add("Host: a:80");
  list.Add("NoColonHere");
  EXPECT_EQ(list.Values("x-long"), "first second third");
  EXPECT_EQ(list.Values("host"), "a:80");
  EXPECT_EQ(list.Values("NoColonHere"), "");
  EXPECT_EQ(list.Names(3), "Host");
}

TEST(HeaderListTest, SetValueReplacesInPlaceAppendsAndDeletes) {
  THeaderList list;
  list.Add("A: 1");
  list.Add("b:2");
  list.Add("  more");
  list.Add("C: 3");
  list.Add("B: second");
  list.SetValue("B", "new");
  EXPECT_THAT(list.Lines(), ElementsAre("A: 1", "B: new", "C: 3", "B: second"));
  list.SetValue("D", "4");
  EXPECT_THAT(list.Lines(), ElementsAre("A: 1", "B: new", "C: 3", "B: second", "D: 4"));
  list.SetValue("b", "");
  EXPECT_THAT(list.Lines(), ElementsAre("A: 1", "C: 3", "B: second", "D: 4"));
  list.SetValue("Missing", "");
  EXPECT_EQ(list.Count(), 4u);
  EXPECT_EQ(list.Text(), "A: 1\r\nC: 3\r\nB: second\r\nD: 4\r\n");
}

TEST(ResponseTest, ReasonPhraseTable) {
  const std::vector<std::pair<int, std::string>> table = {
      {100, "Continue"},
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {301, "Moved Permanently"},
      {302, "Moved Temporarily"},
      {303, "See Other"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method not allowed"},
      {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Request Entity To Long"},
      {414, "Request-URI Too Long. 256 Chars max"},
      {415, "Unsupported Media Type"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway timeout"},
      {505, "HTTP version not supported"},
      {0, "Unknown Response Code"},
      {402, "Unknown Response Code"},
      {999, "Unknown Response Code"},
  };
  for (const auto& [code, phrase] : table) {
    THTTPResponseInfo response;
    response.CloseConnection = false;
    response.SetResponseNo(code);
    EXPECT_EQ(response.ResponseNo, code);
    EXPECT_EQ(response.ResponseText, phrase) << code;
    EXPECT_EQ(response.CloseConnection, code == 404) << code;
  }
}

TEST(ResponseTest, UntouchedResponseWritesHeadersWithoutLength) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.WriteHeader();
  EXPECT_EQ(sink.text,
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html\r\n"
            "Server: pmrface/1.0\r\n"
            "\r\n");
  EXPECT_EQ(sink.writes.size(), 1u);
  EXPECT_THROW(
      {
        try {
          response.WriteHeader();
        } catch (const HttpServerError& e) {
          EXPECT_STREQ(e.what(), "Header has already been written.");
          throw;
        }
      },
      HttpServerError);
}

TEST(ResponseTest, PageApiAnswerByteForByte) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.CustomHeaders.Add("Access-Control-Allow-Origin:*");
  response.CustomHeaders.Add("Access-Control-Allow-Methods:*");
  response.SetResponseNo(200);
  response.ContentText = "jdqfaceapi_takeimg('abcdefghijklm')";
  ASSERT_EQ(response.ContentText.size(), 35u);
  response.WriteHeader();
  response.WriteContent();
  EXPECT_EQ(sink.text,
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: 35\r\n"
            "Access-Control-Allow-Origin:*\r\n"
            "Access-Control-Allow-Methods:*\r\n"
            "Server: pmrface/1.0\r\n"
            "\r\n"
            "jdqfaceapi_takeimg('abcdefghijklm')");
  EXPECT_EQ(response.ContentText, "");
}

TEST(ResponseTest, CustomServerLineIsReplacedInPlaceAndTypeSetAgain) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.CustomHeaders.Add("X-First: 1");
  response.CustomHeaders.Add("server: other/2.0");
  response.CustomHeaders.Add("X-Last: 3");
  response.ContentType = "application/json";
  response.ContentText = "{}";
  response.Location = "/next";
  response.SetResponseNo(302);
  response.WriteContent();
  EXPECT_EQ(sink.text,
            "HTTP/1.1 302 Moved Temporarily\r\n"
            "Connection: close\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: 2\r\n"
            "X-First: 1\r\n"
            "Server: pmrface/1.0\r\n"
            "X-Last: 3\r\n"
            "Location: /next\r\n"
            "\r\n"
            "{}");
}

TEST(ResponseTest, EmptyContentTypeAndKeepAlive) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.ContentType = "";
  response.CloseConnection = false;
  response.ContentLength = 0;
  response.WriteHeader();
  EXPECT_EQ(sink.text,
            "HTTP/1.1 200 OK\r\n"
            "Connection: keep-alive\r\n"
            "Content-Length: 0\r\n"
            "Server: pmrface/1.0\r\n"
            "\r\n");
}

TEST(ResponseTest, StreamGoesOutInBoundedPiecesFromTheStart) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  std::string body(70000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  auto stream = std::make_unique<std::istringstream>(body);
  stream->seekg(100);  // WriteContent starts from position 0 whatever the handler left.
  response.ContentStream = std::move(stream);
  response.ContentType = "image/jpg";
  response.WriteContent();
  const std::string head =
      "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/jpg\r\n"
      "Content-Length: 70000\r\nServer: pmrface/1.0\r\n\r\n";
  EXPECT_EQ(sink.text, head + body);
  EXPECT_THAT(sink.writes, ElementsAre(head.size(), 32768u, 32768u, 70000u - 65536u));
  EXPECT_EQ(response.ContentStream, nullptr);
}

TEST(ResponseTest, ShortStreamFailsAndKeptStreamIsOnlyForgotten) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.ContentStream = std::make_unique<ShortStream>(40000, 33000);
  EXPECT_THROW(
      {
        try {
          response.WriteContent();
        } catch (const HttpServerError& e) {
          EXPECT_STREQ(e.what(), "No data to read.");
          throw;
        }
      },
      HttpServerError);
  EXPECT_NE(sink.text.find("Content-Length: 40000\r\n"), std::string::npos);

  StringSink other;
  THTTPResponseInfo kept(&other);
  std::istringstream owned("abc");
  kept.ContentStream.reset(&owned);
  kept.FreeContentStream = false;
  kept.WriteContent();
  EXPECT_EQ(kept.ContentStream, nullptr);
  EXPECT_TRUE(other.text.ends_with("\r\n\r\nabc"));
}

TEST(ResponseTest, NoBodyGivesTheStatusPage) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.SetResponseNo(404);
  response.WriteContent();
  EXPECT_TRUE(sink.text.ends_with("\r\n\r\n<HTML><BODY><B>404 Not Found</B></BODY></HTML>\r\n"));
}

TEST(ResponseTest, RealmAnswerCarriesItsOwnLength) {
  StringSink sink;
  THTTPResponseInfo response(&sink);
  response.AuthRealm = "pmr";
  response.WriteContent();
  const std::string page = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";
  EXPECT_EQ(sink.text,
            "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\n"
            "Content-Type: text/html\r\nContent-Length: " +
                std::to_string(page.size()) +
                "\r\nServer: pmrface/1.0\r\nWWW-Authenticate: Basic realm=\"pmr\"\r\n"
                "\r\n" +
                page);
}

}  // namespace
}  // namespace pmr::net
