#pragma once

// Recognition pictures: a real 8x8 grey baseline JPEG whose comment segments carry the
// terminal's address, the event's sequence and a nonce, padded with comments up to a size.

#include <cstddef>
#include <cstdint>
#include <string>

namespace pmr::terminal_sim {

// At least the bare image (about 200 bytes); otherwise exactly `size` bytes when possible.
std::string MakeJpeg(const std::string& comment, std::size_t size);

}  // namespace pmr::terminal_sim
