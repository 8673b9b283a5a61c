#pragma once

// File paths to and from the program's UTF-8 text. std::filesystem::path's char constructor
// and string() use the ANSI code page on Windows, which loses every character outside it
// (a Chinese folder on a Western PC); these go through UTF-8 on every platform.

#include <filesystem>
#include <string>
#include <string_view>

namespace pmr {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace pmr
