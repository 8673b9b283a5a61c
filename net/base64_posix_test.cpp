// The encoder against coreutils' base64 (/usr/bin/base64).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/base64.h"
#include "net/testing/base64_files.h"

namespace pmr::net {
namespace {

namespace fs = std::filesystem;
using testing::Base64FileTest;
using testing::RandomBytes;
using testing::ReadFile;
using testing::WithoutLineBreaks;
using testing::WriteFile;

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

}  // namespace
}  // namespace pmr::net
