// The generic JSON value: null, bool, u64, i64, double, string, array, object.
// Tool inputs and outputs and skill inputs and outputs are such values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dovek::json {

class Value;

namespace detail {

// The storage of arrays and of objects' members. A document of thousands of
// small containers is built and freed at once, over and over (each command,
// each tool call), which the general heap serves slowly: freed blocks are
// kept in a per-thread cache by size class, up to a bound, and reused by the
// next containers of the same size. A block may be freed on any thread; it
// then joins that thread's cache. Each thread's cache is emptied when the
// thread exits.
void* allocate_block(size_t bytes);
void free_block(void* p, size_t bytes) noexcept;

template <class T>
struct BlockAllocator {
  using value_type = T;

  BlockAllocator() = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_block(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { free_block(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const BlockAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace detail

using Array = std::vector<Value, detail::BlockAllocator<Value>>;

// An object: members kept sorted by key bytes (unsigned, a shorter prefix
// first), one member per key. A small sorted vector beats a tree for the
// object sizes we see.
class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using Members = std::vector<Member, detail::BlockAllocator<Member>>;
  using const_iterator = Members::const_iterator;

  Object() = default;
  // Takes members that are already in order, one per key. O(1).
  // REQUIRES: keys strictly ascending.
  static Object from_sorted(Members members);

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
  Members members_;
};

// A tagged union rather than std::variant: moving, destroying and reading a
// value are then inline switches instead of calls through a visitor table,
// which matters when documents of thousands of values are built, written
// and freed.
// Thread safety: a plain value; const access from many threads is safe.
class Value {
 public:
  enum class Kind { kNull, kBool, kU64, kI64, kDouble, kString, kArray, kObject };

  Value() noexcept : kind_(Kind::kNull), u_(0) {}  // null
  Value(std::nullptr_t) noexcept : Value() {}       // NOLINT
  Value(bool b) noexcept : kind_(Kind::kBool), b_(b) {}  // NOLINT
  // Non-negative integers are u64, negative ones i64, so that equal numbers
  // compare equal whatever type they were built from.
  Value(uint64_t u) noexcept : kind_(Kind::kU64), u_(u) {}  // NOLINT
  Value(int64_t i) noexcept {                               // NOLINT
    if (i >= 0) {
      kind_ = Kind::kU64;
      u_ = static_cast<uint64_t>(i);
    } else {
      kind_ = Kind::kI64;
      i_ = i;
    }
  }
  Value(int i) noexcept : Value(static_cast<int64_t>(i)) {}  // NOLINT
  Value(double d) noexcept : kind_(Kind::kDouble), d_(d) {}  // NOLINT
  Value(std::string s) noexcept : kind_(Kind::kString), s_(std::move(s)) {}  // NOLINT
  Value(std::string_view s) : kind_(Kind::kString), s_(s) {}                // NOLINT
  Value(const char* s) : kind_(Kind::kString), s_(s) {}                     // NOLINT
  Value(Array a) noexcept : kind_(Kind::kArray), a_(std::move(a)) {}         // NOLINT
  Value(Object o) noexcept : kind_(Kind::kObject), o_(std::move(o)) {}       // NOLINT

  Value(const Value& other) { copy_from(other); }
  Value(Value&& other) noexcept { move_from(other); }
  // Through a temporary: `other` may live inside this value.
  Value& operator=(const Value& other) {
    if (this != &other) {
      Value copy(other);
      destroy();
      move_from(copy);
    }
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      Value taken(std::move(other));
      destroy();
      move_from(taken);
    }
    return *this;
  }
  ~Value() { destroy(); }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_u64() const { return kind() == Kind::kU64; }
  bool is_i64() const { return kind() == Kind::kI64; }
  bool is_double() const { return kind() == Kind::kDouble; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  // REQUIRES: the matching kind.
  bool as_bool() const { return b_; }
  uint64_t as_u64() const { return u_; }
  int64_t as_i64() const { return i_; }
  double as_double() const { return d_; }
  const std::string& as_string() const { return s_; }
  const Array& as_array() const { return a_; }
  Array& as_array() { return a_; }
  const Object& as_object() const { return o_; }
  Object& as_object() { return o_; }

  // Structural equality; numbers compare by kind and value (3 != 3.0), and
  // doubles with ==, so -0.0 == 0.0 (NaN never occurs in read values).
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  // REQUIRES (both): this value holds nothing (constructed or destroyed).
  void copy_from(const Value& other);
  void move_from(Value& other) noexcept;
  void destroy() noexcept;

  Kind kind_;
  union {
    bool b_;
    uint64_t u_;
    int64_t i_;
    double d_;
    std::string s_;
    Array a_;
    Object o_;
  };
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

inline Object Object::from_sorted(Members members) {
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

inline void Value::copy_from(const Value& other) {
  switch (other.kind_) {
    case Kind::kString: new (&s_) std::string(other.s_); break;
    case Kind::kArray: new (&a_) Array(other.a_); break;
    case Kind::kObject: new (&o_) Object(other.o_); break;
    case Kind::kBool: b_ = other.b_; break;
    case Kind::kI64: i_ = other.i_; break;
    case Kind::kDouble: d_ = other.d_; break;
    default: u_ = other.u_; break;  // null (0) and u64
  }
  kind_ = other.kind_;
}

inline void Value::move_from(Value& other) noexcept {
  switch (other.kind_) {
    case Kind::kString: new (&s_) std::string(std::move(other.s_)); break;
    case Kind::kArray: new (&a_) Array(std::move(other.a_)); break;
    case Kind::kObject: new (&o_) Object(std::move(other.o_)); break;
    case Kind::kBool: b_ = other.b_; break;
    case Kind::kI64: i_ = other.i_; break;
    case Kind::kDouble: d_ = other.d_; break;
    default: u_ = other.u_; break;  // null (0) and u64
  }
  kind_ = other.kind_;
}

inline void Value::destroy() noexcept {
  switch (kind_) {
    case Kind::kString: s_.~basic_string(); break;
    case Kind::kArray: a_.~Array(); break;
    case Kind::kObject: o_.~Object(); break;
    default: break;
  }
}

inline bool Value::operator==(const Value& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::kNull: return true;
    case Kind::kBool: return b_ == other.b_;
    case Kind::kU64: return u_ == other.u_;
    case Kind::kI64: return i_ == other.i_;
    case Kind::kDouble: return d_ == other.d_;
    case Kind::kString: return s_ == other.s_;
    case Kind::kArray: return a_ == other.a_;
    case Kind::kObject: return o_ == other.o_;
  }
  return false;
}

}  // namespace dovek::json
