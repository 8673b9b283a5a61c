#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace pmr {
namespace {

using namespace std::string_literals;

// GBK bytes of the window title and of the status text for waiting pictures.
const std::string kTitleGbk = "\xC7\xE0\xBA\xCC\xCC\xEF\xCA\xB6\xD1\xD5\xCC\xA8";
const std::string kWaitingGbk = "\xD5\xC5\xCD\xBC\xC6\xAC\xB5\xC8\xB4\xFD\xC9\xCF\xB4\xAB...";

TEST(Utf8ValidityTest, AcceptsWellFormedText) {
  for (const std::string& s :
       {""s, "plain ascii"s, "\0nul inside"s, "青禾田识颜台"s, "\xC2\x80"s, "\xDF\xBF"s,
        "\xE0\xA0\x80"s, "\xED\x9F\xBF"s /* U+D7FF */, "\xEE\x80\x80"s /* U+E000 */,
        "\xEF\xBF\xBF"s, "\xF0\x90\x80\x80"s, "\xF4\x8F\xBF\xBF"s /* U+10FFFF */, "😀"s}) {
    EXPECT_TRUE(IsWellFormedUtf8(s)) << testing::PrintToString(s);
  }
}

TEST(Utf8ValidityTest, RejectsIllFormedText) {
  for (const std::string& s : {
           "\x80"s,                      // stray continuation byte
           "a\xBF"s,                     // stray continuation after ASCII
           "\xC0\xAF"s,                  // overlong "/"
           "\xC1\xBF"s,                  // overlong
           "\xE0\x80\xAF"s,              // overlong three-byte
           "\xE0\x9F\xBF"s,              // overlong just below U+0800
           "\xF0\x8F\xBF\xBF"s,          // overlong four-byte
           "\xED\xA0\x80"s,              // U+D800
           "\xED\xBF\xBF"s,              // U+DFFF
           "\xED\xA0\xBD\xED\xB8\x80"s,  // surrogate pair written as two characters
           "\xF4\x90\x80\x80"s,          // U+110000
           "\xF5\x80\x80\x80"s,
           "\xFE"s,
           "\xFF"s,
           "\xE4\xB8"s,  // truncated at the end
           "\xE4\xB8"
           "a"s,             // truncated before ASCII
           "\xF0\x9F\x98"s,  // truncated emoji
           "\xC3"s,          // lone lead byte
           "青禾田\xC3"s,
       }) {
    EXPECT_FALSE(IsWellFormedUtf8(s)) << testing::PrintToString(s);
  }
}

TEST(Cp936Test, RoundTripsChineseText) {
  EXPECT_EQ(Utf8ToCp936("青禾田识颜台"), kTitleGbk);
  EXPECT_EQ(Cp936ToUtf8(kTitleGbk), "青禾田识颜台");
  EXPECT_EQ(Utf8ToCp936("张图片等待上传..."), kWaitingGbk);
  EXPECT_EQ(Cp936ToUtf8(kWaitingGbk), "张图片等待上传...");
  EXPECT_EQ(Utf8ToCp936("12" + "张图片等待上传..."s), "12" + kWaitingGbk);
  // The code page's single-byte euro sign and full-width yen sign.
  EXPECT_EQ(Utf8ToCp936("€￥"), "\x80\xA3\xA4");
  EXPECT_EQ(Cp936ToUtf8("\x80\xA3\xA4"), "€￥");
  EXPECT_EQ(Utf8ToCp936(""), "");
  EXPECT_EQ(Utf8ToCp936("a\0b"s), "a\0b"s);
}

TEST(Cp936Test, CharactersTheCodePageLacksBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp936("a😀b"), "a?b");
  EXPECT_EQ(Utf8ToCp936("😀😀"), "??");
  // Hangul, Thai and the half-width yen sign are missing from GBK.
  EXPECT_EQ(Utf8ToCp936("한ก¥"), "???");
  EXPECT_EQ(Utf8ToCp936("青😀禾"), "\xC7\xE0?\xBA\xCC");
}

TEST(Cp936Test, MalformedInputBecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToCp936("a\xFF"
                        "b"),
            "a?b");
  EXPECT_EQ(Utf8ToCp936("\xE9\x9D"), "?");  // one ill-formed part, one mark
  EXPECT_EQ(Utf8ToCp936("\xED\xA0\x80"), "???");
  EXPECT_EQ(Utf8ToCp936("青\xC3"), "\xC7\xE0?");

  EXPECT_EQ(Cp936ToUtf8("\xFF"), "?");
  EXPECT_EQ(Cp936ToUtf8("a\xC7"), "a?");  // lead byte at the end
  // A bad byte alone is dropped; the valid character behind it survives.
  EXPECT_EQ(Cp936ToUtf8("\xFF\xC7\xE0"), "?青");
  EXPECT_EQ(Cp936ToUtf8("\x81\x7F"
                        "x"),
            "?\x7Fx");
}

TEST(Cp936Test, LongTextCrossesConversionBuffers) {
  std::string utf8;
  std::string gbk;
  for (int i = 0; i < 5000; ++i) {
    utf8 += "青禾田识颜台😀x";
    gbk += kTitleGbk + "?x";
  }
  EXPECT_EQ(Utf8ToCp936(utf8), gbk);
  std::string back;
  for (int i = 0; i < 5000; ++i) back += "青禾田识颜台?x";
  EXPECT_EQ(Cp936ToUtf8(gbk), back);
}

TEST(Cp936Test, ConvertsOnManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 500; ++i) {
        if (Utf8ToCp936("青禾田识颜台") != kTitleGbk ||
            Cp936ToUtf8(kWaitingGbk) != "张图片等待上传..." ||
            Cp936ToUtf8("\xFF\xC7\xE0") != "?青") {
          ++failures[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(DecodeUtf8ToAnsiTest, KeepsWhatTheCodePageHoldsAsUtf8) {
  EXPECT_EQ(DecodeUtf8ToAnsi(R"({"personId":"张三","type":"face_0"})"),
            R"({"personId":"张三","type":"face_0"})");
  EXPECT_EQ(DecodeUtf8ToAnsi("青禾田识颜台"), "青禾田识颜台");
  EXPECT_EQ(DecodeUtf8ToAnsi("a😀b한"), "a?b?");
  EXPECT_EQ(DecodeUtf8ToAnsi(""), "");
  EXPECT_EQ(DecodeUtf8ToAnsi("nul\0inside"s), "nul\0inside"s);
}

TEST(DecodeUtf8ToAnsiTest, IllFormedTextAsAWholeIsEmpty) {
  EXPECT_EQ(DecodeUtf8ToAnsi("\xFF"), "");
  EXPECT_EQ(DecodeUtf8ToAnsi(R"({"personId":"abc"})"
                             "\xC0\xAF"),
            "");
  // Code page 936 bytes are not UTF-8.
  EXPECT_EQ(DecodeUtf8ToAnsi(kTitleGbk), "");
  EXPECT_EQ(DecodeUtf8ToAnsi("\xED\xA0\x80"), "");
}

TEST(Utf16Test, ConvertsBothWays) {
  EXPECT_EQ(Utf8ToUtf16("a青😀"), u"a青😀");
  EXPECT_EQ(Utf8ToUtf16("😀").size(), 2u);
  EXPECT_EQ(Utf16ToUtf8(u"a青😀"), "a青😀");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("\xF4\x8F\xBF\xBF")), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Utf8ToUtf16(""), u"");
  EXPECT_EQ(Utf8ToUtf16("a\0b"s), u"a\0b"s);
}

TEST(Utf16Test, BadInputBecomesReplacementCharacters) {
  // One U+FFFD per maximal ill-formed part.
  EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"
                        "a"),
            u"\uFFFDa");
  EXPECT_EQ(Utf8ToUtf16("\xF0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xFF\xFE"), u"\uFFFD\uFFFD");

  const std::u16string lone_high = {u'a', char16_t{0xD83D}, u'b'};
  const std::u16string lone_low = {char16_t{0xDE00}};
  const std::u16string swapped = {char16_t{0xDE00}, char16_t{0xD83D}};
  const std::u16string high_at_end = {u'x', char16_t{0xD83D}};
  EXPECT_EQ(Utf16ToUtf8(lone_high),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(lone_low), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(swapped), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(high_at_end), "x\xEF\xBF\xBD");
  EXPECT_TRUE(IsWellFormedUtf8(Utf16ToUtf8(swapped)));
}

TEST(AsciiCaseTest, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(AsciiLower("Face_0 ÄB青"), "face_0 Äb青");
  EXPECT_EQ(AsciiUpper("post_0 äb青{"), "POST_0 äB青{");
  EXPECT_EQ(TrimBlanks("\t\r\n \x01" "a b\x7f\0 "s), "a b\x7f");
  EXPECT_EQ(TrimBlanks(" \x1f "), "");
  EXPECT_TRUE(EqualsIgnoreCaseAscii("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("Ä", "ä"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("[", "{"));  // 0x5B and 0x7B differ by the case bit
  EXPECT_TRUE(StartsWithIgnoreCaseAscii("HTTP/1.1 200", "http/"));
  EXPECT_FALSE(StartsWithIgnoreCaseAscii("HT", "http"));
  EXPECT_TRUE(StartsWithIgnoreCaseAscii("x", ""));
  EXPECT_TRUE(ContainsIgnoreCaseAscii("multipart/Form-Data; boundary", "form-data"));
  EXPECT_FALSE(ContainsIgnoreCaseAscii("face", "faces"));
  EXPECT_TRUE(ContainsIgnoreCaseAscii("", ""));
  EXPECT_FALSE(ContainsIgnoreCaseAscii("", "a"));
}

}  // namespace
}  // namespace pmr
