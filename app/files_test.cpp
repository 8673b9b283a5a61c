#include "app/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pmr_files_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path MakeFile(const std::string& name, system_clock::time_point written) {
    fs::path p = dir_ / name;
    std::ofstream(p) << "x";
    fs::last_write_time(p, fs::file_time_type::clock::from_sys(written));
    return p;
  }

  fs::path dir_;
};

TEST_F(FilesTest, DeletesOnlyFilesMoreThanTheLimitAwayEitherWay) {
  auto now = system_clock::now();
  fs::path keep = MakeFile("keep.jpg", now - (30 * 24h + 23h));
  fs::path old = MakeFile("old.jpg", now - 31 * 24h);
  fs::path future = MakeFile("future.jpg", now + 31 * 24h);
  fs::path no_dot = MakeFile("nodot", now - 40 * 24h);
  fs::create_directories(dir_ / "sub");
  fs::path nested = dir_ / "sub" / "deep.jpg";
  std::ofstream(nested) << "x";
  fs::last_write_time(nested, fs::file_time_type::clock::from_sys(now - 90 * 24h));
  fs::last_write_time(dir_ / "sub", fs::file_time_type::clock::from_sys(now - 90 * 24h));

  DeleteOldFiles(dir_, "*.*", 30, now);

  EXPECT_TRUE(fs::exists(keep));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_FALSE(fs::exists(future));
  EXPECT_FALSE(fs::exists(no_dot)) << "*.* takes names without a dot too";
  EXPECT_TRUE(fs::exists(dir_ / "sub")) << "folders are never removed";
  EXPECT_TRUE(fs::exists(nested)) << "subfolders are not entered";
}

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

TEST_F(FilesTest, ProgramFilesFolderDefaults) {
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("PROGRAMFILES", "/opt/pf", 1);
  EXPECT_EQ(ProgramFilesFolder(), "/opt/pf");
  ::unsetenv("PROGRAMFILES");
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(ProgramFilesFolder(), "/x/data");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(ProgramFilesFolder(), "/home/u/.local/share");
  ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace pmr::app
