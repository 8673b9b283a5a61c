#pragma once

// Lenient JSON reader over UTF-16 text: parse into an immutable, reference-counted tree, look a
// member up by name, read any value as text. Reading never throws; bad input gives no value.
// Trees are immutable once parsed, so they may be shared between threads freely.
//
// A tree lives in one block of memory: its values, member and element tables and texts. Every
// pointer into the tree shares the ownership of that block, so a member keeps working after the
// root pointer is gone, and parsing a small text costs one allocation.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace pmr::net {

class JsonValue;

// Shared ownership of a value; nullptr stands for "no value" (distinct from a null value).
using JsonValuePtr = std::shared_ptr<const JsonValue>;

enum class JsonType { kNull, kBoolean, kInteger, kFixed, kFloat, kString, kArray, kObject };

// Containers nest at most this deep when they have content; one more level may be empty.
inline constexpr int kJsonMaxDepth = 31;

// A value inside a parsed tree. The views and pointers it hands out stay valid while the tree
// is owned by some JsonValuePtr.
class JsonValue {
 public:
  struct Member {
    std::u16string_view name;
    const JsonValue* value;
  };

  JsonType type() const { return type_; }
  // kBoolean: the value. Other types: false.
  bool boolean() const { return integer() != 0; }
  // kInteger: the value; kFixed: the value in ten-thousandths. Other types: 0.
  std::int64_t integer() const { return type_ == JsonType::kFloat ? 0 : number_; }
  // kFloat: the value. Other types: 0.
  double floating() const { return type_ == JsonType::kFloat ? floating_ : 0; }
  // kString: the text. Other types: empty.
  std::u16string_view text() const {
    return type_ == JsonType::kString ? std::u16string_view(text_, size_) : std::u16string_view();
  }
  // kArray: the elements in order; kObject: the members, each name once, in no given order.
  std::span<const JsonValue* const> elements() const {
    return type_ == JsonType::kArray ? std::span(elements_, size_)
                                     : std::span<const JsonValue* const>();
  }
  std::span<const Member> members() const {
    return type_ == JsonType::kObject ? std::span(members_, size_) : std::span<const Member>();
  }

  // kObject: the member's value, or nullptr when there is none of exactly that name.
  const JsonValue* Find(std::u16string_view name) const;

 private:
  friend class JsonReader;

  // Built and copied only by the reader: a copy would point into a block that it does not own.
  JsonValue() = default;
  JsonValue(const JsonValue&) = default;
  JsonValue& operator=(const JsonValue&) = default;

  JsonType type_ = JsonType::kNull;
  bool sorted_ = false;   // members sorted by name (large objects), else in text order
  std::size_t size_ = 0;  // length of the text, number of elements or members
  union {
    std::int64_t number_ = 0;  // null, boolean, integer, fixed
    double floating_;
  };
  union {
    const char16_t* text_ = nullptr;
    const JsonValue* const* elements_;
    const Member* members_;
    std::size_t offset_;  // while the tree is read: where the text or table will be
  };
};

// Reads the first complete value of `text` and ignores the rest. Gives nullptr when the text
// ends (or holds a character 0) before a value is complete, on a syntax error, when the
// nesting limit is passed, or when memory runs out.
//
// Integers that do not fit in 64 bits, and fixed-point numbers whose ten-thousandths do not,
// become floating numbers; floating numbers beyond double's range become infinite (their JSON
// text is null) and those below it zero. A text that starts like a number but is not one
// ("-", "1-2", "1e") is a syntax error.
JsonValuePtr ParseJson(std::u16string_view text) noexcept;

// The member `name` (case-sensitive) of an object, or nullptr when `value` is nullptr, is not
// an object, or has no such member.
JsonValuePtr GetMember(const JsonValuePtr& value, std::u16string_view name);

// null: empty; string: its text; integer: decimal digits; boolean: "true" / "false"; fixed,
// floating, array, object: compact JSON text (characters above 127 unescaped).
std::u16string AsText(const JsonValue& value);

}  // namespace pmr::net
