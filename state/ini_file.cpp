#include "state/ini_file.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/text.h"

namespace pmr::state {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r";
  std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

bool ReadLines(const std::filesystem::path& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

// The section name of a "[name]" line, or false for any other line.
bool SectionName(std::string_view line, std::string_view& name) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return false;
  std::size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

// Splits a "key=value" line; comment and other lines give false.
bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return false;
  std::size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(trimmed.substr(0, eq));
  value = Trim(trimmed.substr(eq + 1));
  return true;
}

// Cuts an on-disk (code page 936) value without splitting a double-byte character.
std::string_view CutValue(std::string_view value) {
  if (value.size() <= IniFile::kMaxValueBytes) return value;
  std::size_t end = 0;
  while (end < IniFile::kMaxValueBytes) {
    unsigned char c = static_cast<unsigned char>(value[end]);
    std::size_t width = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    if (end + width > IniFile::kMaxValueBytes) break;
    end += width;
  }
  return value.substr(0, end);
}

}  // namespace

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_value) const {
  std::vector<std::string> lines;
  {
    MutexLock lock(mutex_);
    if (!ReadLines(path_, lines)) return std::string(default_value);
  }
  const std::string section_cp = Utf8ToCp936(section);
  const std::string key_cp = Utf8ToCp936(key);
  bool in_section = false;
  for (const std::string& line : lines) {
    std::string_view name, k, v;
    if (SectionName(line, name)) {
      in_section = EqualsIgnoreCaseAscii(name, section_cp);
    } else if (in_section && KeyValue(line, k, v) && EqualsIgnoreCaseAscii(k, key_cp)) {
      // A value written in matching quotes reads without them.
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      return Cp936ToUtf8(CutValue(v));
    }
  }
  return std::string(default_value);
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string section_cp = Utf8ToCp936(section);
  const std::string key_cp = Utf8ToCp936(key);
  const std::string value_cp = Utf8ToCp936(value);

  MutexLock lock(mutex_);
  std::vector<std::string> lines;
  ReadLines(path_, lines);

  // Find the section, the key inside it, and the last key line of the section.
  std::size_t section_line = lines.size(), key_line = lines.size(), insert_at = lines.size();
  bool in_section = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view name, k, v;
    if (SectionName(lines[i], name)) {
      if (in_section) break;  // left the section: insert after its last key
      if (EqualsIgnoreCaseAscii(name, section_cp)) {
        in_section = true;
        section_line = i;
        insert_at = i + 1;
      }
    } else if (in_section && KeyValue(lines[i], k, v)) {
      insert_at = i + 1;
      if (EqualsIgnoreCaseAscii(k, key_cp)) {
        key_line = i;
        break;
      }
    }
  }

  if (key_line < lines.size()) {
    std::string_view k, v;
    KeyValue(lines[key_line], k, v);
    lines[key_line] = std::string(k) + "=" + value_cp;
  } else if (section_line < lines.size()) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), key_cp + "=" + value_cp);
  } else {
    lines.push_back("[" + section_cp + "]");
    lines.push_back(key_cp + "=" + value_cp);
  }

  std::ostringstream text;
  for (const std::string& line : lines) text << line << "\r\n";

  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp = path_;
  temp += ".tmp" + std::to_string(counter++);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temp, path_, error);
  if (error) {
    std::filesystem::remove(temp, error);
    return false;
  }
  return true;
}

}  // namespace pmr::state
