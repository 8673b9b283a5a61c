// The server's request head parser on arbitrary bytes, with no socket: every head ends in one
// of the parser's outcomes, a head parsed again from exactly its own bytes gives the same
// request, and what a complete head promises holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "net/http_head.h"

namespace {

using pmr::net::RequestHeadParser;
using Status = RequestHeadParser::Status;

constexpr std::size_t kMaxHead = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  RequestHeadParser parser(kMaxHead);
  std::size_t consumed = 0;
  const Status status = parser.FeedHead(input, consumed);
  Check(consumed <= size);
  Check(consumed == 0 || input[consumed - 1] == '\n');

  if (status == Status::kFailed) {
    const std::string& error = parser.error();
    Check(error == "Error in parsing command." || error == "Request head too large." ||
          error == "Max line length exceeded.");
    return 0;
  }
  if (status == Status::kMore) {
    // What is left is an unfinished line within the cap.
    Check(input.substr(consumed).find('\n') == std::string_view::npos);
    Check(size - consumed <= pmr::net::kMaxHeadLine + 1);
    return 0;
  }

  // The head's own bytes decide alike.
  RequestHeadParser again(kMaxHead);
  std::size_t again_consumed = 0;
  Check(again.FeedHead(input.substr(0, consumed), again_consumed) == status);
  Check(again_consumed == consumed);
  if (status == Status::kUnserved) return 0;

  pmr::net::THTTPRequestInfo& request = parser.request();
  Check(request.Command == "GET" || request.Command == "POST" || request.Command == "HEAD");
  Check(request.RawHTTPCommand.size() + request.RawHeaders.Text().size() <= kMaxHead);
  Check(request.ContentLength >= -1);
  Check(request.ContentLength == -1 || request.RawHeaders.HasName("Content-Length"));
  Check(again.request().RawHeaders.Lines() == request.RawHeaders.Lines());
  Check(again.request().Document == request.Document);

  // The rest of the input as the body.
  const std::string body(input.substr(consumed));
  if (parser.Finish(body, /*parse_params=*/true)) {
    Check(request.FormParams == body);
    Check(request.UnparsedParams.size() >= request.QueryParams.size());
    Check(request.AuthUsername.find(':') == std::string::npos);
  } else {
    Check(parser.error() == "Unsupported authorization scheme." ||
          parser.error() == "Uneven size in DecodeToStream.");
    Check(request.AuthExists);
  }
  return 0;
}
