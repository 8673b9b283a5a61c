#include "tools/terminal_sim/picture.h"

#include <algorithm>

namespace pmr::terminal_sim {
namespace {

constexpr std::size_t kMaxSegment = 65533;  // payload of one marker segment

void Segment(std::string& out, unsigned char marker, const std::string& payload) {
  std::size_t length = payload.size() + 2;
  out += '\xFF';
  out += static_cast<char>(marker);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  out += payload;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

}  // namespace

std::string MakeJpeg(const std::string& comment, std::size_t size) {
  std::string head = "\xFF\xD8";
  Segment(head, 0xE0, Bytes({'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
  Segment(head, 0xFE, comment.substr(0, kMaxSegment));

  // One 8x8 block of mid grey: DC difference 0 and an end-of-block, each a one-bit code.
  std::string image;
  std::string quant = Bytes({0});
  quant.append(64, '\x01');
  Segment(image, 0xDB, quant);
  Segment(image, 0xC0, Bytes({8, 0, 8, 0, 8, 1, 1, 0x11, 0}));
  std::string dc = Bytes({0x00, 1});
  dc.append(15, '\0');
  dc += '\0';  // category 0
  Segment(image, 0xC4, dc);
  std::string ac = Bytes({0x10, 1});
  ac.append(15, '\0');
  ac += '\0';  // end of block
  Segment(image, 0xC4, ac);
  Segment(image, 0xDA, Bytes({1, 1, 0x00, 0, 63, 0}));
  image += '\x3F';  // bits 0 0, padded with ones
  image += "\xFF\xD9";

  std::string out = head;
  std::size_t fixed = head.size() + image.size();
  std::size_t pad = size > fixed ? size - fixed : 0;
  while (pad >= 4) {
    std::size_t payload = std::min(pad - 4, kMaxSegment);
    std::size_t left = pad - payload - 4;
    if (left > 0 && left < 4) payload -= 4;  // leave room for one more whole segment
    std::string filler(payload, '.');
    for (std::size_t i = 0; i < payload; ++i) filler[i] = static_cast<char>('a' + i % 26);
    Segment(out, 0xFE, filler);
    pad -= payload + 4;
  }
  return out + image;
}

}  // namespace pmr::terminal_sim
