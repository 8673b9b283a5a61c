#pragma once

// The Base64 tests of files, each in a fresh folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "net/testing/temp_files.h"

namespace pmr::net::testing {

namespace fs = std::filesystem;

inline std::string WithoutLineBreaks(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  return text;
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

}  // namespace pmr::net::testing
