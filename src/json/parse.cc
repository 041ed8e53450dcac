#include "json/parse.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "json/text.h"
#include "json/tokenizer.h"

namespace dovek::json {
namespace {

// a < b in unsigned byte order, a shorter prefix first. Keys mostly differ
// in their first byte: decide that without memcmp.
inline bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return bytes::less(a, b);
}

// A member's place in key order: its key's first 8 bytes as a big-endian
// number (zero-padded), so that most comparisons while sorting are one
// integer compare; equal prefixes fall back to the keys themselves.
struct SortKey {
  uint64_t prefix;
  uint32_t index;
};

inline uint64_t key_prefix(std::string_view key) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, key.data(), std::min<size_t>(key.size(), 8));
  uint64_t p = 0;
  for (unsigned char b : bytes) p = (p << 8) | b;
  return p;
}

// The order in which to take n object members so that keys ascend, with only
// the last member of each run of equal keys (the last one wins): `order`
// receives member indices, the return value is how many. Sorting indices
// rather than members keeps each member to a single move.
template <class KeyAt>
size_t member_order(size_t n, const KeyAt& key_at, std::vector<SortKey>& order) {
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = {key_prefix(key_at(i)), static_cast<uint32_t>(i)};
  auto less = [&](const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return key_at(a.index) < key_at(b.index);
  };
  if (n <= 16) {
    // Insertion sort: stable and cheap for the small objects that dominate.
    for (size_t i = 1; i < n; ++i) {
      const SortKey x = order[i];
      size_t j = i;
      for (; j > 0 && less(x, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = x;
    }
  } else {
    std::stable_sort(order.begin(), order.end(), less);
  }
  size_t w = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && order[k + 1].prefix == order[k].prefix &&
        key_at(order[k + 1].index) == key_at(order[k].index)) {
      continue;
    }
    order[w++] = order[k];
  }
  return w;
}

// The index just past the value that starts at token i.
inline size_t skip_value(const Tape& tape, size_t i) {
  const Token& t = tape[i];
  const bool container = t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin;
  return container ? t.end + 1 : i + 1;
}

// The text a double token was read from, when it is exactly what Writer::f64
// writes for its value (the tokenizer tells); empty otherwise. Copying it
// spares formatting the double again.
std::string_view canonical_double_text(const Tape& tape, const Token& t) {
  return tape.text().substr(t.offset, t.count);
}

// The text of the container whose begin token is t, brackets included.
std::string_view span_of(const Tape& tape, const Token& t) {
  return tape.text().substr(t.offset, tape[t.end].offset + 1 - t.offset);
}

// Writes the value at token i (i moves past it) as Writer::value writes
// the Value that to_value builds. A container whose text is already in the
// writer's form (the tokenizer tells, see Token::written_form) is copied as
// it is, the common case for a value that a program wrote; an object whose keys do not ascend is
// built as that Value and written so, to sort its keys the same way.
// Recurses once per nesting level: at most kMaxDepth deep, as the tape is.
void write_from(Writer& w, const Tape& tape, size_t& i) {
  const Token& t = tape[i];
  switch (t.kind) {
    case TokenKind::kNull: w.null(); break;
    case TokenKind::kTrue: w.boolean(true); break;
    case TokenKind::kFalse: w.boolean(false); break;
    case TokenKind::kU64: w.u64(t.u64); break;
    case TokenKind::kI64: w.i64(t.i64); break;
    case TokenKind::kDouble: {
      const std::string_view read = canonical_double_text(tape, t);
      if (read.empty()) {
        w.f64(t.f64);
      } else {
        w.raw_value(read);
      }
      break;
    }
    case TokenKind::kString:
    case TokenKind::kKey: w.string(tape.string(t)); break;
    case TokenKind::kArrayBegin:
      if (tape[t.end].written_form) {
        w.raw_value(span_of(tape, t));
        break;
      }
      w.begin_array();
      for (++i; i < t.end;) write_from(w, tape, i);
      w.end_array();
      break;
    case TokenKind::kObjectBegin:
      if (tape[t.end].written_form) {
        w.raw_value(span_of(tape, t));
        break;
      }
      if (!keys_ascend(tape, i)) {
        w.value(to_value(tape, i));
        break;
      }
      w.begin_object();
      for (++i; i < t.end;) {
        w.member_key(tape.string(tape[i]));
        ++i;
        write_from(w, tape, i);
      }
      w.end_object();
      break;
    case TokenKind::kArrayEnd:
    case TokenKind::kObjectEnd: break;
  }
  i = skip_value(tape, i);
}

// Builds a Value from tokens in text order: pending array elements and member
// values wait on one stack, member keys on another, and each container is
// assembled when its end token comes.
class ValueBuilder {
 public:
  explicit ValueBuilder(const char* strings) : strings_(strings) { values_.reserve(64); }

  void add(const Token& t) {
    switch (t.kind) {
      case TokenKind::kNull: values_.emplace_back(); break;
      case TokenKind::kTrue: values_.emplace_back(true); break;
      case TokenKind::kFalse: values_.emplace_back(false); break;
      case TokenKind::kU64: values_.emplace_back(t.u64); break;
      case TokenKind::kI64: values_.emplace_back(t.i64); break;
      case TokenKind::kDouble: values_.emplace_back(t.f64); break;
      case TokenKind::kString: values_.emplace_back(string(t)); break;
      case TokenKind::kKey: keys_.push_back(string(t)); break;
      case TokenKind::kArrayBegin:
      case TokenKind::kObjectBegin: break;
      case TokenKind::kArrayEnd: end_array(t.count); break;
      case TokenKind::kObjectEnd: end_object(t.count); break;
    }
  }

  Value take() { return std::move(values_.back()); }

 private:
  std::string_view string(const Token& t) const { return {strings_ + t.str.begin, t.str.size}; }

  void end_array(size_t n) {
    Array a;
    a.reserve(n);
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(n);
    for (auto it = first; it != values_.end(); ++it) a.push_back(std::move(*it));
    values_.erase(first, values_.end());
    values_.emplace_back(std::move(a));
  }

  void end_object(size_t n) {
    const std::string_view* keys = keys_.data() + (keys_.size() - n);
    Value* values = values_.data() + (values_.size() - n);
    Object::Members members;
    bool ascending = true;
    for (size_t k = 1; k < n && ascending; ++k) ascending = key_less(keys[k - 1], keys[k]);
    if (ascending) {
      // Most objects: keys already in order, one per key.
      members.reserve(n);
      for (size_t k = 0; k < n; ++k) members.emplace_back(keys[k], std::move(values[k]));
    } else {
      const size_t m = member_order(n, [&](uint32_t i) { return keys[i]; }, order_);
      members.reserve(m);
      for (size_t k = 0; k < m; ++k) {
        const uint32_t at = order_[k].index;
        members.emplace_back(keys[at], std::move(values[at]));
      }
    }
    keys_.resize(keys_.size() - n);
    values_.erase(values_.end() - static_cast<std::ptrdiff_t>(n), values_.end());
    values_.emplace_back(Object::from_sorted(std::move(members)));
  }

  const char* strings_;
  std::vector<Value> values_;
  std::vector<std::string_view> keys_;  // into the reading buffer, which outlives the builder
  std::vector<SortKey> order_;
};

// Builds values from a tape top-down, each container reserved to its exact
// size and each value constructed once, in its final place.
class TapeBuilder {
 public:
  explicit TapeBuilder(const Tape& tape) : tape_(tape) {}

  // The value at token i; i moves past it.
  Value build(size_t& i) {
    Value out;
    emplace(i, [&out](auto&& arg) { out = Value(std::forward<decltype(arg)>(arg)); });
    return out;
  }

 private:
  // Constructs the value at token i where `place` puts it, by handing
  // `place` the value's constructor argument: each value is built once, in
  // its container's slot, rather than returned and moved there. i moves past
  // the value. Recursion is bounded by the tokenizer's nesting limit.
  template <class Place>
  void emplace(size_t& i, const Place& place) {
    const Token& t = tape_[i];
    switch (t.kind) {
      case TokenKind::kNull: ++i; return place(nullptr);
      case TokenKind::kTrue: ++i; return place(true);
      case TokenKind::kFalse: ++i; return place(false);
      case TokenKind::kU64: ++i; return place(t.u64);
      case TokenKind::kI64: ++i; return place(t.i64);
      case TokenKind::kDouble: ++i; return place(t.f64);
      case TokenKind::kString:
      case TokenKind::kKey: ++i; return place(tape_.string(t));
      case TokenKind::kArrayBegin: return place(build_array(i));
      case TokenKind::kObjectBegin: {
        Object o = build_object(i);
        i = t.end + 1;
        return place(std::move(o));
      }
      case TokenKind::kArrayEnd:
      case TokenKind::kObjectEnd: break;
    }
    ++i;
    place(nullptr);
  }

  // Places that take a value's constructor argument: the end of an array,
  // a new member of an object. (Named types, so that emplace has one
  // instance per kind of place, not one per nesting level.)
  struct AppendToArray {
    Array& array;
    template <class Arg>
    void operator()(Arg&& arg) const {
      array.emplace_back(std::forward<Arg>(arg));
    }
  };
  struct AddMember {
    Object::Members& members;
    std::string_view key;
    template <class Arg>
    void operator()(Arg&& arg) const {
      members.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                           std::forward_as_tuple(std::forward<Arg>(arg)));
    }
  };

  // The array whose begin token is at i; i moves past its end.
  Array build_array(size_t& i) {
    const Token& t = tape_[i];
    Array a;
    a.reserve(t.count);
    ++i;
    while (i < t.end) emplace(i, AppendToArray{a});
    i = t.end + 1;
    return a;
  }

  // Appends the member whose key token is at k; k moves past its value.
  void add_member(Object::Members& members, size_t& k) {
    const std::string_view key = tape_.string(tape_[k]);
    ++k;
    emplace(k, AddMember{members, key});
  }

  size_t skip(size_t i) const { return skip_value(tape_, i); }

  // The object whose begin token is at i: members in key order, the last of
  // repeated keys winning. Keys that already ascend (most objects, and all
  // that we wrote ourselves) are taken in text order without sorting.
  Object build_object(size_t i) {
    const Token& t = tape_[i];
    Object::Members members;
    members.reserve(t.count);
    if (keys_ascend(tape_, i)) {
      for (size_t k = i + 1; k < t.end;) add_member(members, k);
      return Object::from_sorted(std::move(members));
    }
    // Key token indices in text order, then taken in key order.
    std::vector<uint32_t> keys;
    keys.reserve(t.count);
    for (size_t k = i + 1; k < t.end; k = skip(k + 1)) keys.push_back(static_cast<uint32_t>(k));
    std::vector<SortKey> order;
    const size_t m =
        member_order(keys.size(), [&](uint32_t n) { return tape_.string(tape_[keys[n]]); }, order);
    for (size_t k = 0; k < m; ++k) {
      size_t at = keys[order[k].index];
      add_member(members, at);
    }
    return Object::from_sorted(std::move(members));
  }

  const Tape& tape_;
};

}  // namespace

Value to_value(const Tape& tape, size_t index) { return TapeBuilder(tape).build(index); }

bool keys_ascend(const Tape& tape, size_t index) {
  const Token& t = tape[index];
  std::string_view previous;
  for (size_t k = index + 1; k < t.end; k = skip_value(tape, k + 1)) {
    const std::string_view key = tape.string(tape[k]);
    if (k != index + 1 && !key_less(previous, key)) return false;
    previous = key;
  }
  return true;
}

void write_value(Writer& w, const Tape& tape, size_t index) { write_from(w, tape, index); }

Result<Value> parse(std::string_view text) {
  // Straight from the tokens to the value, without a tape.
  std::string buffer;
  copy_for_reading(text, buffer);
  Tokenizer tokenizer(text, buffer.data());
  ValueBuilder builder(buffer.data());
  Token t;
  while (tokenizer.next(t)) builder.add(t);
  if (tokenizer.failed()) return tokenizer.take_error();
  DOVEK_TRY(check_trailing_in(text, tokenizer.value_end()));
  return builder.take();
}

}  // namespace dovek::json
