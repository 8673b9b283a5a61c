// The INI reader on arbitrary file contents, and a write-then-read round trip of a key and a
// value taken from the input (as far as the format can hold them).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "state/ini_file.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("fuzz_ini." + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Folder(), ignored);
    });
    return path;
  }();
  return folder;
}

// What the format can hold as a key or value: no line breaks, no blanks or tabs at the ends,
// and ASCII only, so the code page conversion is the identity.
bool Holdable(std::string_view text, bool key) {
  if (text.empty()) return !key;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F) return false;
    if (key && (c == '=' || c == '[' || c == ';')) return false;
  }
  if (text.front() == ' ' || text.back() == ' ') return false;
  // Matching quotes around a value are read off.
  if (!key && text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return false;
  }
  return text.size() <= pmr::state::IniFile::kMaxValueBytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path file = Folder() / "pmrface.ini";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  pmr::state::IniFile ini(file);
  for (std::string_view key : {"FIPCAddr1", "SP", "HID"}) {
    std::string value = ini.ReadString("JDQFACE", key, "");
    Check(value.size() <= 3 * pmr::state::IniFile::kMaxValueBytes);
  }

  // The input's first line splits at its first "|" into a key and a value to store.
  std::string_view first = input.substr(0, input.find('\n'));
  std::size_t bar = first.find('|');
  if (bar == std::string_view::npos) return 0;
  std::string_view key = first.substr(0, bar);
  std::string_view value = first.substr(bar + 1);
  if (!Holdable(key, true) || !Holdable(value, false)) return 0;
  // A fresh file: arbitrary contents could hide the key behind an earlier section.
  std::filesystem::remove(file);
  Check(ini.WriteString("JDQFACE", "SP", "before"));
  Check(ini.WriteString("JDQFACE", key, value));
  Check(ini.ReadString("JDQFACE", key, "?") == value);
  if (key.size() != 2 || (key[0] | 0x20) != 's' || (key[1] | 0x20) != 'p') {
    Check(ini.ReadString("JDQFACE", "SP", "") == "before");
  }
  Check(ini.WriteString("JDQFACE", key, "after"));
  Check(ini.ReadString("JDQFACE", key, "") == "after");
  return 0;
}
