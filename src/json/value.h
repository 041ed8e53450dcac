// The generic JSON value: null, bool, u64, i64, double, string, array, object.
// Tool inputs and outputs and skill inputs and outputs are such values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dovek::json {

class Value;
using Array = std::vector<Value>;

// An object: members kept sorted by key bytes (unsigned, a shorter prefix
// first), one member per key. A small sorted vector beats a tree for the
// object sizes we see.
class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using const_iterator = std::vector<Member>::const_iterator;

  Object() = default;
  // Takes members that are already in order, one per key. O(1).
  // REQUIRES: keys strictly ascending.
  static Object from_sorted(std::vector<Member> members);

  // Inserts or replaces: the last value set for a key wins.
  void set(std::string key, Value value);
  // nullptr when the key is absent.
  const Value* find(std::string_view key) const;

  // Defined below Value: clang instantiates the member type on use, and
  // Value is still incomplete here.
  size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;

  bool operator==(const Object& other) const;

 private:
  std::vector<Member> members_;
};

// Thread safety: a plain value; const access from many threads is safe.
class Value {
 public:
  enum class Kind { kNull, kBool, kU64, kI64, kDouble, kString, kArray, kObject };

  Value() = default;  // null
  Value(std::nullptr_t) {}  // NOLINT
  Value(bool b) : v_(b) {}  // NOLINT
  // Non-negative integers are u64, negative ones i64, so that equal numbers
  // compare equal whatever type they were built from.
  Value(uint64_t u) : v_(u) {}  // NOLINT
  Value(int64_t i) {
    if (i >= 0) v_ = static_cast<uint64_t>(i);
    else v_ = i;
  }  // NOLINT
  Value(int i) : Value(static_cast<int64_t>(i)) {}  // NOLINT
  Value(double d) : v_(d) {}  // NOLINT
  Value(std::string s) : v_(std::move(s)) {}  // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}  // NOLINT
  Value(const char* s) : v_(std::string(s)) {}  // NOLINT
  Value(Array a) : v_(std::move(a)) {}  // NOLINT
  Value(Object o) : v_(std::move(o)) {}  // NOLINT

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_u64() const { return kind() == Kind::kU64; }
  bool is_i64() const { return kind() == Kind::kI64; }
  bool is_double() const { return kind() == Kind::kDouble; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  // REQUIRES: the matching kind.
  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_u64() const { return std::get<uint64_t>(v_); }
  int64_t as_i64() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Structural equality; numbers compare by kind and value (3 != 3.0), and
  // doubles bitwise-by-value (-0.0 == 0.0, NaN never occurs in read values).
  bool operator==(const Value& other) const { return v_ == other.v_; }
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

inline void Object::set(std::string key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }

inline Object Object::from_sorted(std::vector<Member> members) {
  Object out;
  out.members_ = std::move(members);
  return out;
}

inline const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  if (it != members_.end() && it->first == key) return &it->second;
  return nullptr;
}

inline bool Object::operator==(const Object& other) const { return members_ == other.members_; }

}  // namespace dovek::json
