#include "net/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/testing/base64_files.h"

namespace pmr::net {
namespace {

namespace fs = std::filesystem;
using testing::Base64FileTest;
using testing::RandomBytes;
using testing::ReadFile;
using testing::WithoutLineBreaks;
using testing::WriteFile;

std::string Encoded(const std::string& bytes) {
  std::istringstream source(bytes);
  std::ostringstream destination;
  EncodeStream(source, destination);
  return destination.str();
}

// Hands out its bytes a few at a time, as a pipe or a socket would.
class TricklingSource : public std::streambuf {
 public:
  explicit TricklingSource(std::string bytes) : bytes_(std::move(bytes)) {}

 protected:
  int_type underflow() override {
    if (next_ >= bytes_.size()) return traits_type::eof();
    const std::size_t count = std::min<std::size_t>(1 + next_ % 7, bytes_.size() - next_);
    char* start = bytes_.data() + next_;
    setg(start, start, start + count);
    next_ += count;
    return traits_type::to_int_type(*start);
  }

 private:
  std::string bytes_;
  std::size_t next_ = 0;
};

// Serves `good` bytes, then fails like a disk read error.
class FailingSource : public std::streambuf {
 public:
  explicit FailingSource(std::size_t good) : bytes_(good, 'x') {}

 protected:
  int_type underflow() override {
    if (served_) throw std::runtime_error("read error");
    served_ = true;
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    return traits_type::to_int_type(bytes_[0]);
  }

 private:
  std::string bytes_;
  bool served_ = false;
};

// Accepts nothing, like a full disk.
class RefusingSink : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(Base64EncodeTest, KnownTextsAndFill) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "YWJj"},
      {"ab", "YWI="},
      {"a", "YQ=="},
      {"", ""},
      {"\xFB\xFF", "+/8="},
      {std::string(3, '\0'), "AAAA"},
      {"\xFF\xFF\xFF", "////"},
      {"user:pass", "dXNlcjpwYXNz"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(Encoded(bytes), text) << bytes;
    EXPECT_EQ(EncodeOneLine(bytes), text) << bytes;
  }
}

// The encoder loads 8 bytes at a time; none of them may lie past the input (checked under ASan).
TEST(Base64EncodeTest, ReadsNothingPastTheInput) {
  const std::string all = RandomBytes(100, 6);
  for (std::size_t size = 0; size <= all.size(); ++size) {
    const auto exact = std::make_unique<char[]>(size);
    std::copy_n(all.data(), size, exact.get());
    ASSERT_EQ(EncodeOneLine(std::string_view(exact.get(), size)),
              EncodeOneLine(all.substr(0, size)));
  }
}

TEST(Base64EncodeTest, BreaksLinesAfterEvery76Characters) {
  const std::string bytes = RandomBytes(114, 1);
  const std::string line1 = EncodeOneLine(bytes.substr(0, 57));
  const std::string line2 = EncodeOneLine(bytes.substr(57));
  ASSERT_EQ(line1.size(), 76u);
  EXPECT_EQ(Encoded(bytes.substr(0, 57)), line1 + "\r\n");
  EXPECT_EQ(Encoded(bytes), line1 + "\r\n" + line2 + "\r\n");
  EXPECT_EQ(Encoded(bytes.substr(0, 58)), line1 + "\r\n" + EncodeOneLine(bytes.substr(57, 1)));
  // A padded last group still counts as 4 characters of the line.
  const std::string padded = Encoded(bytes.substr(0, 56));
  EXPECT_EQ(padded, EncodeOneLine(bytes.substr(0, 56)) + "\r\n");
  EXPECT_EQ(padded.substr(75), "=\r\n");
}

TEST(Base64EncodeTest, ReadsPiecemealFromTheCurrentPosition) {
  const std::string bytes = RandomBytes(3000, 3);
  TricklingSource trickle(bytes);
  std::istream source(&trickle);
  std::ostringstream destination;
  EncodeStream(source, destination);
  EXPECT_EQ(destination.str(), Encoded(bytes));

  std::istringstream rest(bytes);
  rest.ignore(100);
  std::ostringstream rest_text;
  EncodeStream(rest, rest_text);
  EXPECT_EQ(rest_text.str(), Encoded(bytes.substr(100)));
}

TEST(Base64EncodeTest, StreamFailuresAreErrors) {
  FailingSource failing(20000);
  std::istream source(&failing);
  std::ostringstream destination;
  EXPECT_THROW(EncodeStream(source, destination), Base64Error);

  RefusingSink refusing;
  std::ostream sink(&refusing);
  std::istringstream bytes("abc");
  EXPECT_THROW(EncodeStream(bytes, sink), Base64Error);
}

TEST_F(Base64FileTest, PictureFileIsOneLine) {
  const std::string bytes = RandomBytes(200 * 1024 + 1, 4);
  WriteFile(dir_ / "pic.jpg", bytes);
  WriteFile(dir_ / "empty.jpg", "");
  EXPECT_EQ(EncodePictureFile(dir_ / "pic.jpg"), EncodeOneLine(bytes));
  EXPECT_EQ(EncodePictureFile(dir_ / "empty.jpg"), "");
}

TEST_F(Base64FileTest, MissingOrUnreadableFileIsAnError) {
  try {
    EncodePictureFile(dir_ / "missing.jpg");
    FAIL() << "no error";
  } catch (const Base64Error& error) {
    EXPECT_NE(std::string(error.what()).find("missing.jpg"), std::string::npos) << error.what();
  }
  fs::create_directory(dir_ / "folder.jpg");
  EXPECT_THROW(EncodePictureFile(dir_ / "folder.jpg"), Base64Error);
}

TEST(Base64DecodeTest, KnownTextsAndFill) {
  EXPECT_EQ(DecodeText("YWJj"), "abc");
  EXPECT_EQ(DecodeText("YWI="), "ab");
  EXPECT_EQ(DecodeText("YQ=="), "a");
  EXPECT_EQ(DecodeText(""), "");
  EXPECT_EQ(DecodeText("dXNlcjpwYXNz"), "user:pass");
  // The fill is looked at group by group: in the third place it keeps one byte, whatever the
  // fourth, and a padded group may come before others.
  EXPECT_EQ(DecodeText("YQ=x"), "a");
  EXPECT_EQ(DecodeText("YQ==YWJj"), "aabc");
  EXPECT_EQ(DecodeText("YWI=YQ=="), "aba");
}

TEST(Base64DecodeTest, UnevenSizeFails) {
  for (const char* text : {"Y", "YW", "YWJ", "YWJjY", "YWJjYWJ"}) {
    try {
      DecodeText(text);
      ADD_FAILURE() << text << ": no error";
    } catch (const Base64Error& error) {
      EXPECT_STREQ(error.what(), "Uneven size in DecodeToStream.");
    }
  }
}

TEST(Base64DecodeTest, AcceptsAnyCharacter) {
  const std::string odd[] = {"a b!",          "=abc",      "a=bc", std::string("ab\0c", 4),
                             "\x80\xFF\x01~", "Zm9v\r\nYm"};
  for (const std::string& text : odd) {
    EXPECT_EQ(DecodeText(text).size(), text.size() / 4 * 3) << text;
  }
}

TEST(Base64DecodeTest, UndoesTheEncoder) {
  const std::string all = RandomBytes(600, 5);
  for (std::size_t size = 0; size <= all.size(); ++size) {
    const std::string bytes = all.substr(0, size);
    ASSERT_EQ(DecodeText(EncodeOneLine(bytes)), bytes) << size;
  }
}

}  // namespace
}  // namespace pmr::net
