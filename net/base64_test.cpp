#include "net/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace pmr::net {
namespace {

namespace fs = std::filesystem;

std::string Encoded(const std::string& bytes) {
  std::istringstream source(bytes);
  std::ostringstream destination;
  EncodeStream(source, destination);
  return destination.str();
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(random));
  return bytes;
}

std::string WithoutLineBreaks(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  return text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
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

class Base64FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device seed;
    dir_ = fs::temp_directory_path() /
           ("pmr_base64_" + std::to_string(seed()) + "_" + std::to_string(seed()));
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
};

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

// What coreutils prints, turned into our form: lines end with CR LF instead of LF, and a last
// line shorter than 76 characters has no line end at all.
std::string FromCoreutils(const std::string& text) {
  if (text.empty()) return text;
  std::string ours;
  for (char c : text) {
    if (c == '\n') ours += '\r';
    ours += c;
  }
  const std::size_t line_start = text.size() < 2 ? 0 : text.find_last_of('\n', text.size() - 2);
  const std::size_t last_line =
      text.size() - 1 - (line_start == std::string::npos ? 0 : line_start + 1);
  if (last_line < 76) ours.resize(ours.size() - 2);
  return ours;
}

// Every size across several 510-byte blocks (where the line count must carry over) and a few
// large files, streamed from real files.
TEST_F(Base64FileTest, MatchesCoreutils) {
  const fs::path tool = "/usr/bin/base64";
  if (!fs::exists(tool)) GTEST_SKIP() << "coreutils base64 is not installed";

  const std::size_t large[] = {57 * 50000, 3 * 1024 * 1024 + 1, 4 * 1024 * 1024 + 2};
  std::vector<std::size_t> sizes;
  for (std::size_t size = 0; size <= 2000; ++size) sizes.push_back(size);
  sizes.insert(sizes.end(), std::begin(large), std::end(large));
  std::vector<std::size_t> one_line_sizes = {0, 1, 2, 3, 55, 56, 57, 58, 114, 510, 511, 2000};
  one_line_sizes.insert(one_line_sizes.end(), std::begin(large), std::end(large));
  for (std::size_t size : sizes) {
    WriteFile(dir_ / ("in_" + std::to_string(size)), RandomBytes(size, 1000 + size));
  }

  std::string command = "cd '" + dir_.string() + "' && for n in";
  for (std::size_t size : sizes) command += " " + std::to_string(size);
  command += "; do " + tool.string() + " in_$n > wrapped_$n || exit 1; done && for n in";
  for (std::size_t size : one_line_sizes) command += " " + std::to_string(size);
  command += "; do " + tool.string() + " -w0 in_$n > line_$n || exit 1; done";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  for (std::size_t size : sizes) {
    const std::string name = std::to_string(size);
    std::ifstream source(dir_ / ("in_" + name), std::ios::binary);
    std::ostringstream ours;
    EncodeStream(source, ours);
    ASSERT_EQ(ours.str(), FromCoreutils(ReadFile(dir_ / ("wrapped_" + name)))) << size;
    ASSERT_EQ(WithoutLineBreaks(ours.str()), EncodeOneLine(RandomBytes(size, 1000 + size))) << size;
  }
  for (std::size_t size : one_line_sizes) {
    const std::string name = std::to_string(size);
    ASSERT_EQ(EncodePictureFile(dir_ / ("in_" + name)), ReadFile(dir_ / ("line_" + name))) << size;
  }
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
