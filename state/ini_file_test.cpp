#include "state/ini_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace pmr::state {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pmr_ini_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = dir_ / "pmrface.ini";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteRaw(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string ReadRaw() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_, path_;
};

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesDefault) {
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("JDQFACE", "FIPCAddr1", ""), "");
  EXPECT_FALSE(fs::exists(path_)) << "reading must not create the file";
  WriteRaw("[OTHER]\r\nFIPCAddr1=1.2.3.4\r\n[JDQFACE]\r\nSP=x\r\n");
  EXPECT_EQ(ini.ReadString("JDQFACE", "FIPCAddr1", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("NOPE", "SP", ""), "");
}

TEST_F(IniFileTest, NamesAreCaseInsensitiveAndValuesTrimmed) {
  WriteRaw("; comment\n[jdqface]\nfipcaddr1 = 192.168.1.50 \nSP=\"quoted\"\nHID=abc=def\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("JDQFACE", "FIPCAddr1", ""), "192.168.1.50");
  EXPECT_EQ(ini.ReadString("JDQFACE", "SP", ""), "quoted");
  EXPECT_EQ(ini.ReadString("JDQFACE", "HID", ""), "abc=def");
}

TEST_F(IniFileTest, LongValueIsCutAt2047Bytes) {
  WriteRaw("[JDQFACE]\r\nSP=" + std::string(3000, 'a') + "\r\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("JDQFACE", "SP", ""), std::string(2047, 'a'));
  // A double-byte character that would straddle the cut is left out whole.
  WriteRaw("[JDQFACE]\r\nSP=" + std::string(2046, 'a') + "\xD5\xC5" + "\r\n");
  EXPECT_EQ(ini.ReadString("JDQFACE", "SP", ""), std::string(2046, 'a'));
}

TEST_F(IniFileTest, TextIsCodePage936OnDisk) {
  IniFile ini(path_);
  ASSERT_TRUE(ini.WriteString("JDQFACE", "SP", "张三"));
  EXPECT_EQ(ReadRaw(), "[JDQFACE]\r\nSP=\xD5\xC5\xC8\xFD\r\n");
  EXPECT_EQ(ini.ReadString("JDQFACE", "SP", ""), "张三");
}

TEST_F(IniFileTest, WriteReplacesInPlaceOrAppendsToSection) {
  WriteRaw("[JDQFACE]\r\nFIPCAddr1=10.0.0.2\r\nSP=s1\r\n\r\n[Other]\r\nk=v\r\n");
  IniFile ini(path_);
  ASSERT_TRUE(ini.WriteString("jdqface", "sp", "s2"));
  ASSERT_TRUE(ini.WriteString("JDQFACE", "HID", "h1"));
  EXPECT_EQ(ReadRaw(),
            "[JDQFACE]\r\nFIPCAddr1=10.0.0.2\r\nSP=s2\r\nHID=h1\r\n\r\n[Other]\r\nk=v\r\n");
  // No temporary file stays behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(IniFileTest, FailedWriteKeepsTheOldFile) {
  IniFile ini(dir_ / "missing-folder" / "pmrface.ini");
  EXPECT_FALSE(ini.WriteString("JDQFACE", "HID", "x"));
}

TEST_F(IniFileTest, ConcurrentWritersLoseNothing) {
  IniFile ini(path_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ini, t] {
      for (int i = 0; i < 25; ++i) {
        ini.WriteString("JDQFACE", "K" + std::to_string(t) + "_" + std::to_string(i), "v");
        ini.ReadString("JDQFACE", "K0_0", "");
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      EXPECT_EQ(ini.ReadString("JDQFACE", "K" + std::to_string(t) + "_" + std::to_string(i), ""),
                "v");
    }
  }
}

}  // namespace
}  // namespace pmr::state
