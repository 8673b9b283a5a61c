// Cases of POSIX behaviour: folder times set by hand, the XDG default folders.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/files.h"
#include "app/testing/files_fixture.h"

namespace pmr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;
using testing::FilesTest;

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
