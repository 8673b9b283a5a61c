#pragma once

#include <stdexcept>
#include <string>

namespace pmr {

// Root of every error the program raises itself; the network layer derives its own from it.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace pmr
