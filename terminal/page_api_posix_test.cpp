// Cases that need POSIX file system features (symbolic links).

#include <gtest/gtest.h>

#include "terminal/page_api.h"
#include "terminal/testing/page_api_fixture.h"

namespace pmr::terminal {
namespace {

namespace fs = std::filesystem;
using testing::PageApiTest;
using testing::WriteFile;

TEST_F(PageApiTest, PictureFileStaysInsideTheFolder) {
  WriteFile(pictures_ / "sub" / "p.jpg", "p");
  fs::create_symlink(root_.path() / "secret.txt", pictures_ / "link.jpg");
  EXPECT_EQ(PictureFile(pictures_, "/sub/p.jpg"), pictures_ / "sub" / "p.jpg");
  for (const std::string& document : std::vector<std::string>{
           "/../secret.txt", "/sub/../../secret.txt", "//etc/passwd", "/sub//p.jpg", "/./sub/p.jpg",
           "/link.jpg", "/sub", "/", "", "sub/p.jpg", "/C:/secret.txt", "/sub\\p.jpg",
           std::string("/sub/p.jpg\0x", 12)}) {
    EXPECT_TRUE(PictureFile(pictures_, document).empty()) << document;
  }
}

}  // namespace
}  // namespace pmr::terminal
