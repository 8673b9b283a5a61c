#pragma once

// Lenient JSON reader over UTF-16 text: parse into an immutable, reference-counted tree, look a
// member up by name, read any value as text. Reading never throws; bad input gives no value.
// Trees are immutable once parsed, so they may be shared between threads freely.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pmr::net {

class JsonValue;

// Shared ownership of a value; nullptr stands for "no value" (distinct from a null value).
using JsonValuePtr = std::shared_ptr<const JsonValue>;

enum class JsonType { kNull, kBoolean, kInteger, kFixed, kFloat, kString, kArray, kObject };

// Containers nest at most this deep when they have content; one more level may be empty.
inline constexpr int kJsonMaxDepth = 31;

class JsonValue {
  struct Key {
    explicit Key() = default;
  };

 public:
  struct Member {
    std::u16string name;
    JsonValuePtr value;
  };

  // Built only by the reader (the key type is private to it).
  JsonValue(Key, JsonType type) : type_(type) {}

  JsonType type() const { return type_; }
  // kBoolean: the value. Other types: false.
  bool boolean() const { return number_ != 0; }
  // kInteger: the value; kFixed: the value in ten-thousandths. Other types: 0.
  std::int64_t integer() const { return number_; }
  // kFloat: the value. Other types: 0.
  double floating() const { return floating_; }
  // kString: the text. Other types: empty.
  const std::u16string& text() const { return text_; }
  // kArray: the elements in order; kObject: the members, each name once, in no given order.
  const std::vector<JsonValuePtr>& elements() const { return elements_; }
  const std::vector<Member>& members() const { return members_; }

  // kObject: the member's value, or nullptr when there is none of exactly that name.
  const JsonValuePtr* Find(std::u16string_view name) const;

 private:
  friend class JsonReader;

  JsonType type_;
  bool sorted_ = false;  // members_ sorted by name (large objects), else in text order
  std::int64_t number_ = 0;
  double floating_ = 0;
  std::u16string text_;
  std::vector<JsonValuePtr> elements_;
  std::vector<Member> members_;
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
