#include "net/json.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Index of the first quote, backslash or character 0 in s[i, n), or n when there is none.
std::size_t FindQuotedEnd(const char16_t* s, std::size_t i, std::size_t n, char16_t quote) {
#ifdef __SSE2__
  // Eight characters at a time: strings are most of a callback body.
  const __m128i quotes = _mm_set1_epi16(static_cast<short>(quote));
  const __m128i backslashes = _mm_set1_epi16(u'\\');
  const __m128i zeros = _mm_setzero_si128();
  for (; n - i >= 8; i += 8) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, quotes), _mm_cmpeq_epi16(v, zeros)),
                                _mm_cmpeq_epi16(v, backslashes));
    if (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits))) {
      return i + static_cast<std::size_t>(std::countr_zero(mask)) / 2;
    }
  }
#endif
  while (i < n && s[i] != quote && s[i] != u'\\' && s[i] != 0) ++i;
  return i;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Adds decimal digit d to acc; false (acc unchanged) when the result would not fit in 64 bits.
bool AccumulateDigit(std::uint64_t& acc, int d) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (acc >= kMax / 10 && (acc > kMax / 10 || static_cast<std::uint64_t>(d) > kMax % 10)) {
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
  std::size_t old = out.size();
  out.resize(old + static_cast<std::size_t>(end - begin));
  std::copy(begin, end, out.begin() + static_cast<std::ptrdiff_t>(old));
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
      for (const JsonValue* e : v.elements()) {
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

namespace {

// A growing array of trivially copyable items that starts in storage of its own, so that
// reading a small text allocates nothing until the finished tree is laid out.
template <typename T, std::size_t kInline>
class Scratch {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::size_t size() const { return size_; }
  T* data() { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }

  // Room for one more item at the end, to be constructed there.
  void* Add() {
    if (size_ == capacity_) Grow(size_ + 1);
    return data_ + size_++;
  }
  void push_back(const T& item) { new (Add()) T(item); }
  // Appends n items copied from `items`.
  void Append(const T* items, std::size_t n) {
    if (capacity_ - size_ < n) Grow(size_ + n);
    std::memcpy(static_cast<void*>(data_ + size_), items, n * sizeof(T));
    size_ += n;
  }
  // Keeps the first n items (n <= size()).
  void Truncate(std::size_t n) { size_ = n; }

 private:
  void Grow(std::size_t needed) {
    if (needed > std::numeric_limits<std::size_t>::max() / sizeof(T) / 2) throw std::bad_alloc();
    std::size_t capacity = std::max(needed, capacity_ * 2);
    auto heap = std::make_unique_for_overwrite<unsigned char[]>(capacity * sizeof(T));
    T* data = reinterpret_cast<T*>(heap.get());
    std::memcpy(static_cast<void*>(data), data_, size_ * sizeof(T));
    heap_ = std::move(heap);
    data_ = data;
    capacity_ = capacity;
  }

  alignas(T) unsigned char inline_[kInline * sizeof(T)];
  T* data_ = reinterpret_cast<T*>(inline_);
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  std::unique_ptr<unsigned char[]> heap_;
};

}  // namespace

static_assert(!std::is_copy_constructible_v<JsonValue>, "a copy would outlive its block");

// Character-driven reader with one frame per open container: no recursion, and a text can
// never open more than the nesting limit allows. Values, texts and tables are gathered by
// offset while reading and laid out in one block at the end.
class JsonReader {
 public:
  explicit JsonReader(std::u16string_view text) : s_(text.data()), n_(text.size()) {}

  JsonValuePtr Read() {
    std::size_t root = 0;
    return ReadValue(root) ? LayOut(root) : nullptr;
  }

 private:
  enum class State { kValue, kArrayNext, kObjectNext, kComplete };

  // A child of an open container: its name (objects only) in chars_, and its value.
  struct Child {
    std::size_t name_offset;
    std::size_t name_size;
    std::size_t value;  // index in nodes_
  };

  // Set as a container opens (the name as each member's is read): no cost for unused frames.
  struct Frame {
    std::size_t node;         // the container, in nodes_
    std::size_t first_child;  // its children start here in children_
    std::size_t name_offset;  // objects: name of the member whose value is being read
    std::size_t name_size;
    bool is_array;
  };

  // Reads the value into nodes_; `value` is its index.
  bool ReadValue(std::size_t& value) {
    State state = State::kValue;
    for (;;) {
      switch (state) {
        case State::kValue:
          if (!SkipBlanks()) return false;
          switch (Peek()) {
            case u'[':
            case u'{':
              Open();
              state = frames_[depth_ - 1].is_array ? State::kArrayNext : State::kObjectNext;
              continue;
            default:
              if (!ReadScalar()) return false;
              value = nodes_.size() - 1;
              state = State::kComplete;
              continue;
          }
        case State::kArrayNext:  // after "[" or ","
          if (!SkipBlanks()) return false;
          if (Peek() == u']') {
            ++pos_;
            value = Close();
            state = State::kComplete;
          } else if (depth_ > kJsonMaxDepth) {
            return false;
          } else {
            state = State::kValue;
          }
          continue;
        case State::kObjectNext:  // after "{" or ","
          if (!SkipBlanks()) return false;
          if (Peek() == u'}') {
            ++pos_;
            value = Close();
            state = State::kComplete;
            continue;
          }
          if (depth_ > kJsonMaxDepth || !ReadMemberName()) return false;
          state = State::kValue;
          continue;
        case State::kComplete: {
          if (depth_ == 0) return true;
          Frame& frame = frames_[depth_ - 1];
          if (frame.is_array) {
            children_.push_back({0, 0, value});
          } else {
            AddMember(frame, value);
          }
          if (!SkipBlanks()) return false;
          char16_t c = Peek();
          if (c == u',') {
            ++pos_;
            state = frame.is_array ? State::kArrayNext : State::kObjectNext;
          } else if (c == (frame.is_array ? u']' : u'}')) {
            ++pos_;
            value = Close();
          } else {
            return false;
          }
          continue;
        }
      }
    }
  }

  // A new value of that type in nodes_, built in place: a copy would cost a stall.
  JsonValue& Make(JsonType type) {
    JsonValue* v = new (nodes_.Add()) JsonValue();
    v->type_ = type;
    return *v;
  }

  // The character at the read position; 0 at the end of the text, which a 0 in it also marks.
  char16_t Peek() const { return pos_ < n_ ? s_[pos_] : u'\0'; }
  char16_t PeekAt(std::size_t k) const { return k < n_ ? s_[k] : u'\0'; }

  std::u16string_view Name(const Child& c) { return {chars_.data() + c.name_offset, c.name_size}; }

  // Skips blanks and comments; false on a "/" that starts no comment or an unclosed comment.
  bool SkipBlanks() {
    if (pos_ < n_ && s_[pos_] > u' ' && s_[pos_] != u'/') return true;  // mostly nothing to skip
    return SkipBlanksAndComments();
  }

  bool SkipBlanksAndComments() {
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
    Make(is_array ? JsonType::kArray : JsonType::kObject);
    // Only kJsonMaxDepth + 1 frames can ever be open: an element of the last one is refused.
    Frame& frame = frames_[depth_++];
    frame.node = nodes_.size() - 1;
    frame.first_child = children_.size();
    frame.is_array = is_array;
  }

  // Moves the children of the innermost container to their table; gives the container.
  std::size_t Close() {
    Frame& frame = frames_[--depth_];
    JsonValue& container = nodes_[frame.node];
    Child* first = children_.data() + frame.first_child;
    std::size_t count = children_.size() - frame.first_child;
    if (frame.is_array) {
      container.offset_ = elements_.size();
      for (std::size_t i = 0; i < count; ++i) elements_.push_back(first[i].value);
    } else {
      if (count > kSmallObject) {
        count = SortLargeObject(first, count);
        container.sorted_ = true;
      }
      container.offset_ = members_.size();
      members_.Append(first, count);
    }
    container.size_ = count;
    children_.Truncate(frame.first_child);
    return frame.node;
  }

  void AddMember(const Frame& frame, std::size_t value) {
    std::u16string_view name(chars_.data() + frame.name_offset, frame.name_size);
    if (children_.size() - frame.first_child < kSmallObject) {
      for (std::size_t i = frame.first_child; i < children_.size(); ++i) {
        if (Name(children_[i]) == name) {
          children_[i].value = value;
          return;
        }
      }
    }
    children_.push_back({frame.name_offset, frame.name_size, value});
  }

  // Sorts by name, keeping of each name only the value written last; gives the number kept.
  std::size_t SortLargeObject(Child* first, std::size_t count) {
    std::stable_sort(first, first + count,
                     [this](const Child& a, const Child& b) { return Name(a) < Name(b); });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + 1 < count && Name(first[i]) == Name(first[i + 1])) continue;
      first[kept++] = first[i];
    }
    return kept;
  }

  // Reads a string, number, literal or bare word at the read position into a new node.
  bool ReadScalar() {
    char16_t c = Peek();
    switch (c) {
      case u'\0':
      case u',':
      case u':':
      case u']':
      case u'}':
        return false;
      case u'"':
      case u'\'': {
        std::size_t offset = chars_.size();
        if (!ReadQuoted()) return false;
        MakeString(offset);
        return true;
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

  // A string node for the characters from `offset` to the end of chars_.
  void MakeString(std::size_t offset) {
    JsonValue& v = Make(JsonType::kString);
    v.offset_ = offset;
    v.size_ = chars_.size() - offset;
  }

  bool ReadLiteral(std::u16string_view word, JsonType type, int value) {
    bool spelled = n_ - pos_ >= word.size() && std::u16string_view(s_ + pos_, word.size()) == word;
    char16_t after = PeekAt(pos_ + word.size());
    if (!spelled || IsAsciiLetter(after) || after == u'_' || after == u'.') return ReadBareWord();
    pos_ += word.size();
    Make(type).number_ = value;
    return true;
  }

  bool ReadNumber() {
    if (ReadShortInteger()) return true;
    std::size_t start = pos_;
    while (pos_ < n_ && IsNumberChar(s_[pos_])) ++pos_;
    std::u16string_view s(s_ + start, pos_ - start);
    NumberForm f;
    if (!ScanNumber(s, f)) return false;
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
        // Two's-complement conversion; INT64_MIN comes out right.
        Make(f.has_dot ? JsonType::kFixed : JsonType::kInteger).number_ =
            static_cast<std::int64_t>(f.negative ? 0 - acc : acc);
        return true;
      }
    }
    double value = 0;
    if (!ToDouble(s, f, value)) return false;
    Make(JsonType::kFloat).floating_ = value;
    return true;
  }

  // The common case of ReadNumber: an optional "-" and up to 18 digits, which always fit. False,
  // with nothing read, for any other number.
  bool ReadShortInteger() {
    std::size_t i = pos_ + (s_[pos_] == u'-' ? 1 : 0);
    const std::size_t digits_begin = i;
    std::int64_t value = 0;
    while (i < n_ && IsDigit(s_[i]) && i - digits_begin < 18) value = value * 10 + (s_[i++] - u'0');
    if (i == digits_begin || (i < n_ && IsNumberChar(s_[i]))) return false;
    Make(JsonType::kInteger).number_ = s_[pos_] == u'-' ? -value : value;
    pos_ = i;
    return true;
  }

  // Decodes the escape whose backslash is at the read position into chars_; false on a bad
  // escape.
  bool ReadEscape() {
    ++pos_;
    char16_t c = Peek();
    int hex_digits = 0;
    switch (c) {
      case u'\0':
        return false;
      case u'b':
        chars_.push_back(8);
        break;
      case u'f':
        chars_.push_back(12);
        break;
      case u'n':
        chars_.push_back(10);
        break;
      case u'r':
        chars_.push_back(13);
        break;
      case u't':
        chars_.push_back(9);
        break;
      case u'u':
        hex_digits = 4;
        break;
      case u'x':
        hex_digits = 2;
        break;
      default:
        chars_.push_back(c);
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
    chars_.push_back(static_cast<char16_t>(unit));
    return true;
  }

  // A string in the quote at the read position, appended to chars_; false when unterminated or
  // on a bad escape.
  bool ReadQuoted() {
    const char16_t quote = s_[pos_++];
    for (;;) {
      std::size_t run = FindQuotedEnd(s_, pos_, n_, quote);
      chars_.Append(s_ + pos_, run - pos_);
      pos_ = run;
      char16_t c = Peek();
      if (c == quote) {
        ++pos_;
        return true;
      }
      if (c != u'\\' || !ReadEscape()) return false;
    }
  }

  // A bare word: up to "," or the container's closer, or the end of the text at the top level.
  bool ReadBareWord() {
    const bool top = depth_ == 0;
    const char16_t closer = top ? u'\0' : (frames_[depth_ - 1].is_array ? u']' : u'}');
    const std::size_t offset = chars_.size();
    std::size_t kept = offset;  // end without the trailing blanks
    for (;;) {
      char16_t c = Peek();
      if (c == 0) {
        if (!top) return false;
        break;
      }
      if (!top && (c == u',' || c == closer)) break;
      if (c == u'\\') {
        if (!ReadEscape()) return false;
        kept = chars_.size();
        continue;
      }
      chars_.push_back(c);
      ++pos_;
      if (!IsBlank(c)) kept = chars_.size();
    }
    chars_.Truncate(kept);
    MakeString(offset);
    return true;
  }

  // Reads a member name and its ":" into the top frame; false on a syntax error.
  bool ReadMemberName() {
    Frame& frame = frames_[depth_ - 1];
    frame.name_offset = chars_.size();
    char16_t c = Peek();
    if (c == u'"' || c == u'\'') {
      if (!ReadQuoted()) return false;
    } else {
      if (c == 0 || c == u',' || c == u':' || c == u'[' || c == u']' || c == u'{') return false;
      // A bare name runs up to the ":"; a "," or "}" first means the ":" is missing.
      std::size_t kept = frame.name_offset;
      for (;;) {
        c = Peek();
        if (c == u':') break;
        if (c == 0 || c == u',' || c == u'}') return false;
        if (c == u'\\') {
          if (!ReadEscape()) return false;
          kept = chars_.size();
          continue;
        }
        chars_.push_back(c);
        ++pos_;
        if (!IsBlank(c)) kept = chars_.size();
      }
      chars_.Truncate(kept);
    }
    frame.name_size = chars_.size() - frame.name_offset;
    if (!SkipBlanks() || Peek() != u':') return false;
    ++pos_;
    return true;
  }

  // Copies what was read into one block: the values, the member and element tables, then the
  // texts, with offsets turned into pointers. Gives the value `root` of that block.
  JsonValuePtr LayOut(std::size_t root) {
    const std::size_t bytes =
        nodes_.size() * sizeof(JsonValue) + members_.size() * sizeof(JsonValue::Member) +
        elements_.size() * sizeof(const JsonValue*) + chars_.size() * sizeof(char16_t);
    using Unit = std::max_align_t;
    auto block = std::make_shared_for_overwrite<Unit[]>((bytes + sizeof(Unit) - 1) / sizeof(Unit));
    auto* nodes = reinterpret_cast<JsonValue*>(block.get());
    auto* members = reinterpret_cast<JsonValue::Member*>(nodes + nodes_.size());
    auto* elements = reinterpret_cast<const JsonValue**>(members + members_.size());
    auto* chars = reinterpret_cast<char16_t*>(elements + elements_.size());
    std::uninitialized_copy_n(chars_.data(), chars_.size(), chars);
    for (std::size_t i = 0; i < elements_.size(); ++i) {
      std::construct_at(elements + i, nodes + elements_[i]);
    }
    for (std::size_t i = 0; i < members_.size(); ++i) {
      const Child& m = members_[i];
      std::construct_at(members + i,
                        JsonValue::Member{std::u16string_view(chars + m.name_offset, m.name_size),
                                          nodes + m.value});
    }
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      JsonValue* v = new (nodes + i) JsonValue(nodes_[i]);
      switch (v->type_) {
        case JsonType::kString:
          v->text_ = chars + nodes_[i].offset_;
          break;
        case JsonType::kArray:
          v->elements_ = elements + nodes_[i].offset_;
          break;
        case JsonType::kObject:
          v->members_ = members + nodes_[i].offset_;
          break;
        default:
          break;
      }
    }
    return JsonValuePtr(std::move(block), nodes + root);
  }

  const char16_t* s_;
  std::size_t n_;
  std::size_t pos_ = 0;
  int depth_ = 0;  // open containers
  Frame frames_[kJsonMaxDepth + 1];
  Scratch<JsonValue, 16> nodes_;
  Scratch<Child, 16> children_;        // of the open containers, innermost last
  Scratch<Child, 16> members_;         // the objects' tables, one after the other
  Scratch<std::size_t, 16> elements_;  // the arrays' tables (indices in nodes_)
  Scratch<char16_t, 256> chars_;       // texts and member names
};

const JsonValue* JsonValue::Find(std::u16string_view name) const {
  std::span<const Member> all = members();
  if (sorted_) {
    auto it = std::lower_bound(all.begin(), all.end(), name,
                               [](const Member& m, std::u16string_view n) { return m.name < n; });
    if (it != all.end() && it->name == name) return it->value;
    return nullptr;
  }
  for (const Member& m : all) {
    if (m.name == name) return m.value;
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
  const JsonValue* member = value->Find(name);
  return member ? JsonValuePtr(value, member) : nullptr;  // shares the tree's block
}

std::u16string AsText(const JsonValue& value) {
  switch (value.type()) {
    case JsonType::kNull:
      return {};
    case JsonType::kString:
      return std::u16string(value.text());
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
