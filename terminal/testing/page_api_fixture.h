#pragma once

// The page API on a real server for tests, in front of a picture folder beside a file that must
// stay out of reach.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "net/http_server_test_util.h"
#include "net/testing/temp_files.h"
#include "state/app_state.h"
#include "terminal/page_api.h"
#include "terminal/testing/terminal_fakes.h"

namespace pmr::terminal::testing {

namespace fs = std::filesystem;
using net::testing::TempFolder;
using net::testing::WriteFile;

inline constexpr char kSecret[] = "SECRET-OUTSIDE-THE-FOLDER";

struct Reply {
  std::string head;
  std::string body;
  bool HasLine(const std::string& line) const {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
  }
};

class PageApiTest : public ::testing::Test {
 protected:
  PageApiTest()
      : pictures_(root_.path() / "Pic"),
        context_{state_, log_, pictures_, 0},
        server_([this](net::THTTPRequestInfo& request, net::THTTPResponseInfo& response) {
          PageApiCommandGet(context_, request, response);
        }) {
    context_.page_port = server_.port;
    fs::create_directories(pictures_);
    WriteFile(root_.path() / "secret.txt", kSecret);
    WriteFile(root_.path() / "WINDOWS" / "win.ini", kSecret);
  }

  void UseTerminal(FakeTerminal& terminal) {
    state_.SetFaceAddr("127.0.0.1");
    state_.SetFacePass("pw");
    context_.terminal_port = terminal.Target().port;
  }

  Reply Get(const std::string& target, const std::string& headers = "") {
    const std::string raw =
        net::testing::Exchange(server_.port, "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n");
    const auto split = raw.find("\r\n\r\n");
    if (split == std::string::npos) return {raw, ""};
    return {raw.substr(0, split + 2), raw.substr(split + 4)};
  }

  TempFolder root_;
  fs::path pictures_;
  state::AppState state_;
  RecordingLog log_;
  PageApiContext context_;
  net::testing::TestServer server_;
};

}  // namespace pmr::terminal::testing
