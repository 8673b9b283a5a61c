// The client's reply head parser on arbitrary bytes, with no socket: "100 Continue" heads are
// passed over, every head ends in one of the parser's outcomes, a head parsed again from
// exactly its own bytes gives the same response, and the standard values match the headers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "net/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pmr::net;
  using Status = ReplyHeadParser::Status;
  constexpr std::size_t kMaxHead = 4096;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  THTTPClientResponse response;
  ReplyHeadParser parser(response, kMaxHead);
  std::size_t consumed = 0;
  const Status status = parser.FeedHead(input, consumed);
  Check(status != Status::kInterim);
  Check(consumed <= size && consumed <= kMaxHead + kMaxHeadLine + 2);
  Check(consumed == 0 || input[consumed - 1] == '\n');

  if (status == Status::kFailed) {
    Check(parser.error() == "Reply head exceeds 4096 bytes." ||
          parser.error() == "Max line length exceeded.");
    return 0;
  }
  if (status == Status::kMore) {
    Check(input.substr(consumed).find('\n') == std::string_view::npos);
    return 0;
  }

  Check(response.ResponseCode != 100);
  Check(response.ResponseCode == ParseStatusCode(response.ResponseText));
  Check(response.ResponseCode >= -1);
  Check(response.HasContentLength == response.RawHeaders.HasName("Content-Length"));
  Check(response.HasContentLength || response.ContentLength == -1);
  Check(response.Connection == response.RawHeaders.Values("Connection"));
  for (const auto& [name, value] : ReplyCookies(response.RawHeaders)) {
    Check(!name.empty() && name.find(';') == std::string::npos);
    Check(value.find(';') == std::string::npos);
  }

  THTTPClientResponse again_response;
  ReplyHeadParser again(again_response, kMaxHead);
  std::size_t again_consumed = 0;
  Check(again.FeedHead(input.substr(0, consumed), again_consumed) == Status::kComplete);
  Check(again_consumed == consumed);
  Check(again_response.ResponseText == response.ResponseText);
  Check(again_response.RawHeaders.Lines() == response.RawHeaders.Lines());
  return 0;
}
