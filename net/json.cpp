#include "net/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

namespace pmr::net {
namespace {

constexpr std::uint64_t kInt64Limit = std::uint64_t{1} << 63;  // magnitude of INT64_MIN
// Objects up to this size replace duplicates as they come; larger ones sort once at the end,
// so that a text with many members never costs quadratic time.
constexpr std::size_t kSmallObject = 8;

bool IsBlank(char16_t c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsNumberChar(char16_t c) {
  return IsDigit(c) || c == u'+' || c == u'-' || c == u'.' || c == u'E' || c == u'e';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Adds decimal digit d to acc; false (acc unchanged) when the result would not fit in 64 bits.
bool AccumulateDigit(std::uint64_t& acc, int d) {
  if (acc > (std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(d)) / 10) {
    return false;
  }
  acc = acc * 10 + static_cast<std::uint64_t>(d);
  return true;
}

// The shape of a number's text: "-"? digits* ("." digits*)? ([eE] [+-]? digits+)?, with at
// least one digit before the exponent. Offsets index the number's own text.
struct NumberForm {
  bool negative = false;
  std::size_t int_begin = 0, int_end = 0;
  std::size_t frac_begin = 0, frac_end = 0;
  std::size_t exp_begin = 0, exp_end = 0;  // digits of the exponent
  bool exp_negative = false;
  bool has_dot = false;
  bool has_exp = false;
};

bool ScanNumber(std::u16string_view s, NumberForm& f) {
  std::size_t i = 0;
  auto at = [&](std::size_t k) -> char16_t { return k < s.size() ? s[k] : u'\0'; };
  if (at(i) == u'-') {
    f.negative = true;
    ++i;
  }
  f.int_begin = i;
  while (IsDigit(at(i))) ++i;
  f.int_end = i;
  f.frac_begin = f.frac_end = i;
  if (at(i) == u'.') {
    f.has_dot = true;
    f.frac_begin = ++i;
    while (IsDigit(at(i))) ++i;
    f.frac_end = i;
  }
  if (f.int_end == f.int_begin && f.frac_end == f.frac_begin) return false;
  if (at(i) == u'e' || at(i) == u'E') {
    f.has_exp = true;
    ++i;
    if (at(i) == u'+' || at(i) == u'-') f.exp_negative = at(i++) == u'-';
    f.exp_begin = i;
    while (IsDigit(at(i))) ++i;
    f.exp_end = i;
    if (f.exp_end == f.exp_begin) return false;
  }
  return i == s.size();
}

// Value of a number beyond double's range: infinite when its magnitude is huge, else zero.
double OutOfRange(std::u16string_view s, const NumberForm& f) {
  std::int64_t lead = 0;  // decimal exponent of the first non-zero digit
  bool found = false;
  for (std::size_t i = f.int_begin; i < f.int_end && !found; ++i) {
    if (s[i] != u'0') {
      lead = static_cast<std::int64_t>(f.int_end - i) - 1;
      found = true;
    }
  }
  for (std::size_t i = f.frac_begin; i < f.frac_end && !found; ++i) {
    if (s[i] != u'0') {
      lead = -static_cast<std::int64_t>(i - f.frac_begin) - 1;
      found = true;
    }
  }
  double magnitude = 0;
  if (found) {
    std::int64_t exp = 0;
    for (std::size_t i = f.exp_begin; i < f.exp_end; ++i) {
      exp = std::min<std::int64_t>(exp * 10 + (s[i] - u'0'), std::int64_t{1} << 40);
    }
    if (f.exp_negative) exp = -exp;
    magnitude = lead + exp >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return f.negative ? -magnitude : magnitude;
}

// Converts the (already scanned) text of a number; false when the conversion fails.
bool ToDouble(std::u16string_view s, const NumberForm& f, double& out) {
  std::string narrow(s.size(), '\0');
  std::transform(s.begin(), s.end(), narrow.begin(),
                 [](char16_t c) { return static_cast<char>(c); });
  const char* end = narrow.data() + narrow.size();
  auto [ptr, ec] = std::from_chars(narrow.data(), end, out, std::chars_format::general);
  if (ec == std::errc::result_out_of_range && ptr == end) {
    out = OutOfRange(s, f);
    return true;
  }
  return ec == std::errc() && ptr == end;
}

void AppendAscii(std::u16string& out, const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) out.push_back(static_cast<char16_t>(*p));
}

void AppendInteger(std::u16string& out, std::int64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // 24 characters always suffice
  AppendAscii(out, buf, end);
}

void AppendFixed(std::u16string& out, std::int64_t ten_thousandths) {
  std::uint64_t magnitude = ten_thousandths < 0 ? 0 - static_cast<std::uint64_t>(ten_thousandths)
                                                : static_cast<std::uint64_t>(ten_thousandths);
  if (ten_thousandths < 0) out.push_back(u'-');
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude / 10000);
  (void)ec;
  AppendAscii(out, buf, end);
  out.push_back(u'.');
  unsigned frac = static_cast<unsigned>(magnitude % 10000);
  char digits[4];
  for (int i = 3; i >= 0; --i, frac /= 10) digits[i] = static_cast<char>('0' + frac % 10);
  int len = 4;
  while (len > 1 && digits[len - 1] == '0') --len;  // "1.5", not "1.5000"
  AppendAscii(out, digits, digits + len);
}

void AppendFloating(std::u16string& out, double v) {
  if (!std::isfinite(v)) {
    out += u"null";  // JSON has no infinity
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // the shortest form of a double fits in 32 characters
  AppendAscii(out, buf, end);
}

void AppendQuoted(std::u16string& out, std::u16string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back(u'"');
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case 8:
        out += u"\\b";
        break;
      case 9:
        out += u"\\t";
        break;
      case 10:
        out += u"\\n";
        break;
      case 12:
        out += u"\\f";
        break;
      case 13:
        out += u"\\r";
        break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out.push_back(static_cast<char16_t>(kHex[c >> 4]));
          out.push_back(static_cast<char16_t>(kHex[c & 15]));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back(u'"');
}

// Trees come only from the reader, so the recursion is bounded by the nesting limit.
void AppendJson(std::u16string& out, const JsonValue& v) {
  switch (v.type()) {
    case JsonType::kNull:
      out += u"null";
      break;
    case JsonType::kBoolean:
      out += v.boolean() ? u"true" : u"false";
      break;
    case JsonType::kInteger:
      AppendInteger(out, v.integer());
      break;
    case JsonType::kFixed:
      AppendFixed(out, v.integer());
      break;
    case JsonType::kFloat:
      AppendFloating(out, v.floating());
      break;
    case JsonType::kString:
      AppendQuoted(out, v.text());
      break;
    case JsonType::kArray: {
      out.push_back(u'[');
      bool first = true;
      for (const JsonValuePtr& e : v.elements()) {
        if (!first) out.push_back(u',');
        first = false;
        AppendJson(out, *e);
      }
      out.push_back(u']');
      break;
    }
    case JsonType::kObject: {
      out.push_back(u'{');
      bool first = true;
      for (const JsonValue::Member& m : v.members()) {
        if (!first) out.push_back(u',');
        first = false;
        AppendQuoted(out, m.name);
        out.push_back(u':');
        AppendJson(out, *m.value);
      }
      out.push_back(u'}');
      break;
    }
  }
}

}  // namespace

// Character-driven reader with one frame per open container: no recursion, and a text can
// never open more than the nesting limit allows.
class JsonReader {
 public:
  explicit JsonReader(std::u16string_view text) : s_(text.data()), n_(text.size()) {}

  JsonValuePtr Read() {
    State state = State::kValue;
    std::shared_ptr<JsonValue> value;  // the value just completed, in State::kComplete
    for (;;) {
      switch (state) {
        case State::kValue:
          if (!SkipBlanks()) return nullptr;
          switch (Peek()) {
            case u'[':
            case u'{':
              Open();
              state = frames_[depth_ - 1].is_array ? State::kArrayNext : State::kObjectNext;
              continue;
            default:
              value = ReadScalar();
              if (!value) return nullptr;
              state = State::kComplete;
              continue;
          }
        case State::kArrayNext:  // after "[" or ","
          if (!SkipBlanks()) return nullptr;
          if (Peek() == u']') {
            ++pos_;
            value = Close();
            state = State::kComplete;
          } else if (depth_ > kJsonMaxDepth) {
            return nullptr;
          } else {
            state = State::kValue;
          }
          continue;
        case State::kObjectNext:  // after "{" or ","
          if (!SkipBlanks()) return nullptr;
          if (Peek() == u'}') {
            ++pos_;
            value = Close();
            state = State::kComplete;
            continue;
          }
          if (depth_ > kJsonMaxDepth || !ReadMemberName()) return nullptr;
          state = State::kValue;
          continue;
        case State::kComplete: {
          if (depth_ == 0) return value;
          Frame& frame = frames_[depth_ - 1];
          if (frame.is_array) {
            frame.container->elements_.push_back(std::move(value));
          } else {
            AddMember(*frame.container, std::move(value));
          }
          value.reset();
          if (!SkipBlanks()) return nullptr;
          char16_t c = Peek();
          if (c == u',') {
            ++pos_;
            state = frame.is_array ? State::kArrayNext : State::kObjectNext;
          } else if (c == (frame.is_array ? u']' : u'}')) {
            ++pos_;
            value = Close();
          } else {
            return nullptr;
          }
          continue;
        }
      }
    }
  }

 private:
  enum class State { kValue, kArrayNext, kObjectNext, kComplete };

  struct Frame {
    std::shared_ptr<JsonValue> container;
    bool is_array = false;
    std::u16string name;  // objects: name of the member whose value is being read
  };

  static std::shared_ptr<JsonValue> Make(JsonType type) {
    return std::make_shared<JsonValue>(JsonValue::Key{}, type);
  }

  // The character at the read position; 0 at the end of the text, which a 0 in it also marks.
  char16_t Peek() const { return pos_ < n_ ? s_[pos_] : u'\0'; }
  char16_t PeekAt(std::size_t k) const { return k < n_ ? s_[k] : u'\0'; }

  // Skips blanks and comments; false on a "/" that starts no comment or an unclosed comment.
  bool SkipBlanks() {
    for (;;) {
      while (pos_ < n_ && IsBlank(s_[pos_])) ++pos_;
      if (Peek() != u'/') return true;
      char16_t next = PeekAt(pos_ + 1);
      if (next == u'*') {
        std::size_t k = pos_ + 2;
        while (k < n_ && s_[k] != 0 && !(s_[k] == u'*' && PeekAt(k + 1) == u'/')) ++k;
        if (k >= n_ || s_[k] == 0) return false;
        pos_ = k + 2;
      } else if (next == u'/') {
        pos_ += 2;
        while (pos_ < n_ && s_[pos_] != 0 && s_[pos_] != u'\n' && s_[pos_] != u'\r') ++pos_;
      } else {
        return false;
      }
    }
  }

  void Open() {
    bool is_array = Peek() == u'[';
    ++pos_;
    // Only kJsonMaxDepth + 1 frames can ever be open: an element of the last one is refused.
    Frame& frame = frames_[depth_++];
    frame.container = Make(is_array ? JsonType::kArray : JsonType::kObject);
    frame.is_array = is_array;
  }

  std::shared_ptr<JsonValue> Close() {
    Frame& frame = frames_[--depth_];
    if (!frame.is_array) SortLargeObject(*frame.container);
    return std::move(frame.container);
  }

  void AddMember(JsonValue& object, std::shared_ptr<JsonValue> value) {
    std::u16string& name = frames_[depth_ - 1].name;
    auto& members = object.members_;
    if (members.empty()) members.reserve(4);  // a callback body has four or so
    if (members.size() < kSmallObject) {
      for (JsonValue::Member& m : members) {
        if (m.name == name) {
          m.value = std::move(value);
          return;
        }
      }
    }
    members.push_back({std::move(name), std::move(value)});
  }

  // Sorts by name, keeping of each name only the value written last.
  static void SortLargeObject(JsonValue& object) {
    auto& members = object.members_;
    if (members.size() <= kSmallObject) return;
    std::stable_sort(
        members.begin(), members.end(),
        [](const JsonValue::Member& a, const JsonValue::Member& b) { return a.name < b.name; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i].name == members[i + 1].name) continue;
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members.resize(kept);
    object.sorted_ = true;
  }

  // Reads a string, number, literal or bare word at the read position; nullptr on failure.
  std::shared_ptr<JsonValue> ReadScalar() {
    char16_t c = Peek();
    switch (c) {
      case u'\0':
      case u',':
      case u':':
      case u']':
      case u'}':
        return nullptr;
      case u'"':
      case u'\'': {
        auto v = Make(JsonType::kString);
        if (!ReadQuoted(v->text_)) return nullptr;
        return v;
      }
      case u't':
      case u'T':
        return ReadLiteral(u"true", JsonType::kBoolean, 1);
      case u'f':
      case u'F':
        return ReadLiteral(u"false", JsonType::kBoolean, 0);
      case u'n':
      case u'N':
        return ReadLiteral(u"null", JsonType::kNull, 0);
      default:
        if (c == u'-' || IsDigit(c)) return ReadNumber();
        return ReadBareWord();
    }
  }

  std::shared_ptr<JsonValue> ReadLiteral(std::u16string_view word, JsonType type, int value) {
    bool spelled = n_ - pos_ >= word.size() && std::u16string_view(s_ + pos_, word.size()) == word;
    char16_t after = PeekAt(pos_ + word.size());
    if (!spelled || IsAsciiLetter(after) || after == u'_' || after == u'.') return ReadBareWord();
    pos_ += word.size();
    auto v = Make(type);
    v->number_ = value;
    return v;
  }

  std::shared_ptr<JsonValue> ReadNumber() {
    std::size_t start = pos_;
    while (pos_ < n_ && IsNumberChar(s_[pos_])) ++pos_;
    std::u16string_view s(s_ + start, pos_ - start);
    NumberForm f;
    if (!ScanNumber(s, f)) return nullptr;
    if (!f.has_exp && (!f.has_dot || f.frac_end - f.frac_begin <= 4)) {
      std::uint64_t acc = 0;
      bool fits = true;
      for (std::size_t i = f.int_begin; i < f.int_end && fits; ++i) {
        fits = AccumulateDigit(acc, s[i] - u'0');
      }
      if (f.has_dot) {
        std::size_t digits = f.frac_end - f.frac_begin;
        for (std::size_t i = 0; i < 4 && fits; ++i) {
          fits = AccumulateDigit(acc, i < digits ? s[f.frac_begin + i] - u'0' : 0);
        }
      }
      if (fits && acc <= (f.negative ? kInt64Limit : kInt64Limit - 1)) {
        auto v = Make(f.has_dot ? JsonType::kFixed : JsonType::kInteger);
        // Two's-complement conversion; INT64_MIN comes out right.
        v->number_ = static_cast<std::int64_t>(f.negative ? 0 - acc : acc);
        return v;
      }
    }
    auto v = Make(JsonType::kFloat);
    if (!ToDouble(s, f, v->floating_)) return nullptr;
    return v;
  }

  // Decodes the escape whose backslash is at the read position; false on a bad escape.
  bool ReadEscape(std::u16string& out) {
    ++pos_;
    char16_t c = Peek();
    int hex_digits = 0;
    switch (c) {
      case u'\0':
        return false;
      case u'b':
        out.push_back(8);
        break;
      case u'f':
        out.push_back(12);
        break;
      case u'n':
        out.push_back(10);
        break;
      case u'r':
        out.push_back(13);
        break;
      case u't':
        out.push_back(9);
        break;
      case u'u':
        hex_digits = 4;
        break;
      case u'x':
        hex_digits = 2;
        break;
      default:
        out.push_back(c);
        break;
    }
    ++pos_;
    if (hex_digits == 0) return true;
    unsigned unit = 0;
    for (int i = 0; i < hex_digits; ++i) {
      int h = HexValue(Peek());
      if (h < 0) return false;
      unit = unit * 16 + static_cast<unsigned>(h);
      ++pos_;
    }
    out.push_back(static_cast<char16_t>(unit));
    return true;
  }

  // A string in the quote at the read position; false when unterminated or on a bad escape.
  bool ReadQuoted(std::u16string& out) {
    const char16_t quote = s_[pos_++];
    for (;;) {
      std::size_t run = pos_;
      while (run < n_ && s_[run] != quote && s_[run] != u'\\' && s_[run] != 0) ++run;
      out.append(s_ + pos_, run - pos_);
      pos_ = run;
      char16_t c = Peek();
      if (c == quote) {
        ++pos_;
        return true;
      }
      if (c != u'\\' || !ReadEscape(out)) return false;
    }
  }

  // A bare word: up to "," or the container's closer, or the end of the text at the top level.
  std::shared_ptr<JsonValue> ReadBareWord() {
    const bool top = depth_ == 0;
    const char16_t closer = top ? u'\0' : (frames_[depth_ - 1].is_array ? u']' : u'}');
    auto v = Make(JsonType::kString);
    std::u16string& out = v->text_;
    std::size_t kept = 0;  // length without the trailing blanks
    for (;;) {
      char16_t c = Peek();
      if (c == 0) {
        if (!top) return nullptr;
        break;
      }
      if (!top && (c == u',' || c == closer)) break;
      if (c == u'\\') {
        if (!ReadEscape(out)) return nullptr;
        kept = out.size();
        continue;
      }
      out.push_back(c);
      ++pos_;
      if (!IsBlank(c)) kept = out.size();
    }
    out.resize(kept);
    return v;
  }

  // Reads a member name and its ":" into the top frame; false on a syntax error.
  bool ReadMemberName() {
    std::u16string& name = frames_[depth_ - 1].name;
    name.clear();
    char16_t c = Peek();
    if (c == u'"' || c == u'\'') {
      if (!ReadQuoted(name)) return false;
    } else {
      if (c == 0 || c == u',' || c == u':' || c == u'[' || c == u']' || c == u'{') return false;
      // A bare name runs up to the ":"; a "," or "}" first means the ":" is missing.
      std::size_t kept = 0;
      for (;;) {
        c = Peek();
        if (c == u':') break;
        if (c == 0 || c == u',' || c == u'}') return false;
        if (c == u'\\') {
          if (!ReadEscape(name)) return false;
          kept = name.size();
          continue;
        }
        name.push_back(c);
        ++pos_;
        if (!IsBlank(c)) kept = name.size();
      }
      name.resize(kept);
    }
    if (!SkipBlanks() || Peek() != u':') return false;
    ++pos_;
    return true;
  }

  const char16_t* s_;
  std::size_t n_;
  std::size_t pos_ = 0;
  int depth_ = 0;  // open containers
  Frame frames_[kJsonMaxDepth + 1];
};

const JsonValuePtr* JsonValue::Find(std::u16string_view name) const {
  if (sorted_) {
    auto it = std::lower_bound(members_.begin(), members_.end(), name,
                               [](const Member& m, std::u16string_view n) { return m.name < n; });
    if (it != members_.end() && it->name == name) return &it->value;
    return nullptr;
  }
  for (const Member& m : members_) {
    if (m.name == name) return &m.value;
  }
  return nullptr;
}

JsonValuePtr ParseJson(std::u16string_view text) noexcept {
  try {
    JsonReader reader(text);
    return reader.Read();
  } catch (...) {  // out of memory: no value, as for any text that cannot be read
    return nullptr;
  }
}

JsonValuePtr GetMember(const JsonValuePtr& value, std::u16string_view name) {
  if (!value || value->type() != JsonType::kObject) return nullptr;
  const JsonValuePtr* member = value->Find(name);
  return member ? *member : nullptr;
}

std::u16string AsText(const JsonValue& value) {
  switch (value.type()) {
    case JsonType::kNull:
      return {};
    case JsonType::kString:
      return value.text();
    case JsonType::kBoolean:
      return value.boolean() ? u"true" : u"false";
    default: {
      std::u16string out;
      if (value.type() == JsonType::kInteger) {
        AppendInteger(out, value.integer());
      } else {
        AppendJson(out, value);
      }
      return out;
    }
  }
}

}  // namespace pmr::net
