#include "app/files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "app/testing/files_fixture.h"

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;
using testing::FilesTest;

TEST_F(FilesTest, MissingFolderAndMasks) {
  DeleteOldFiles(dir_ / "absent", "*.*", 30);  // nothing to do, no error
  auto now = system_clock::now();
  fs::path jpg = MakeFile("a.jpg", now - 40 * 24h);
  fs::path txt = MakeFile("a.txt", now - 40 * 24h);
  fs::path upper = MakeFile("B.JPG", now - 40 * 24h);
  DeleteOldFiles(dir_, "*.jpg", 30, now);
  EXPECT_FALSE(fs::exists(jpg));
  EXPECT_FALSE(fs::exists(upper)) << "masks ignore letter case";
  EXPECT_TRUE(fs::exists(txt));
}

TEST_F(FilesTest, CopyNeverReplacesAnInstalledCopy) {
  fs::path src = dir_ / "pmrface";
  fs::path dst = dir_ / "pmr";
  std::ofstream(src) << "new";
  EXPECT_TRUE(CopyIfMissing(src, dst));
  std::ofstream(src) << "newer";
  EXPECT_FALSE(CopyIfMissing(src, dst));
  std::ifstream in(dst);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "new");
  EXPECT_FALSE(CopyIfMissing(dir_ / "absent", dir_ / "other"));
  EXPECT_FALSE(fs::exists(dir_ / "other"));
  // A copy cut short before leaves only its partial file, which the next copy replaces.
  std::ofstream(dir_ / "again.partial") << "torn";
  EXPECT_TRUE(CopyIfMissing(src, dir_ / "again"));
  EXPECT_FALSE(fs::exists(dir_ / "again.partial"));
  std::ifstream again(dir_ / "again");
  again >> content;
  EXPECT_EQ(content, "newer");
}

}  // namespace
}  // namespace pmr::app
