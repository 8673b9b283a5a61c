#include "tools/portal_sim/upload_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include "base/error.h"

namespace pmr::portal_sim {
namespace {

namespace fs = std::filesystem;

TEST(UploadStore, NumbersConcurrentUploadsWithoutGapsAndKeepsThemByteExact) {
  const fs::path dir = fs::temp_directory_path() / ("pmr_store_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  UploadStore store(dir);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 10; ++i) {
        store.Add("fp" + std::to_string(t), "2026-12-09 12:00:00", std::string(100 + i, 'a' + t));
      }
    });
  }
  for (std::thread& th : threads) th.join();

  std::set<std::uint64_t> numbers;
  for (const UploadRecord& r : store.Records()) {
    numbers.insert(r.number);
    std::ifstream in(dir / r.file_name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes.size(), r.bytes);
    EXPECT_EQ(Fnv1a64(bytes), r.hash);
    EXPECT_EQ(r.file_name, std::to_string(r.number) + "_" + r.pid + ".jpg");
  }
  EXPECT_EQ(numbers.size(), 40u);
  EXPECT_EQ(*numbers.rbegin(), 40u);
  EXPECT_EQ(store.CountsByPid().at("fp2"), 10u);
  EXPECT_EQ(store.FilesInFolder(), 40u);

  // A folder that has gone: the upload fails, uses no number, leaves no temporary file.
  fs::remove_all(dir);
  EXPECT_THROW(store.Add("fp9", "t", "x"), pmr::Error);
  EXPECT_EQ(store.Count(), 40u);
  EXPECT_EQ(store.FilesInFolder(), 0u);
  fs::create_directories(dir);
  EXPECT_EQ(store.Add("../fp9", "t", "x").file_name, "41____fp9.jpg");
  EXPECT_TRUE(fs::is_regular_file(dir / "41____fp9.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  fs::remove_all(dir);
}

TEST(UploadStore, WithoutAFolderCountsOnly) {
  UploadStore store;
  const UploadRecord r = store.Add("fp1", "t", "abc");
  EXPECT_EQ(r.number, 1u);
  EXPECT_EQ(r.file_name, "");
  EXPECT_EQ(store.Count(), 1u);
  EXPECT_EQ(store.FilesInFolder(), 0u);
}

}  // namespace
}  // namespace pmr::portal_sim
