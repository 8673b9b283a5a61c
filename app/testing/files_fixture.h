#pragma once

// A fresh folder per test for the file helpers, and files with a chosen last write time.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace pmr::app::testing {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("pmr_files_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path MakeFile(const std::string& name,
                                 std::chrono::system_clock::time_point written) {
    std::filesystem::path p = dir_ / name;
    std::ofstream(p) << "x";
    std::filesystem::last_write_time(p, std::filesystem::file_time_type::clock::from_sys(written));
    return p;
  }

  std::filesystem::path dir_;
};

}  // namespace pmr::app::testing
