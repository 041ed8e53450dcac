// The fields of a record kind, listed once: each kind specialises Table<T>
// with its description and its fields in declaration order, and everything
// that maps a record field by field is derived from that list: the JSON
// decoder below, the JSON writer (protocol/records.cc) and the columns of a
// stored row (sql/record_fields.h). Adding a field to a record is one line in
// its table (and a column in the databases' schemas).
//
// A field names its JSON key, the member that holds it and its kind, which
// says how the value is carried; each mapping handles every kind once. All
// of it is resolved at compile time: a record is read and written by code as
// direct as a hand-written one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "base/error.h"
#include "json/read.h"
#include "json/write.h"

namespace dovek::fields {

// ---- kinds ----

struct Text {};          // std::string; required
struct OptionalText {};  // std::optional<std::string>; null or absent allowed
struct Flag {};          // bool
struct Texts {};         // std::vector<std::string>
struct Nested {};        // a record with a Table of its own
struct History {};       // a session's messages: written, never decoded or a column
// A record decoded whole by `Decode(json::Cursor&)`, which returns a Result.
template <auto Decode>
struct Decoded {};
// An enumeration E. Names gives `using type = E`, kNames (the JSON names,
// indexed by value) and kFallback (the value of a stored number out of
// range); and `static Result<E> decode(json::Cursor&)` when it is decoded.
template <class Names>
struct Enum {};

// Whether a field of this kind may be null or absent in JSON.
template <class Kind>
inline constexpr bool kOptional = false;
template <>
inline constexpr bool kOptional<OptionalText> = true;

// ---- tables ----

// A field: its JSON key `Name`, the pointer to the member `Member` that
// holds it, its kind, and the name of its column when that differs from the
// key (a nested record of one field is stored as one column).
template <json::KeyName Name, auto Member, class K, json::KeyName Column = "">
struct Field {
  using Kind = K;
  static constexpr std::string_view kName{Name.text, sizeof(Name.text) - 1};
  static constexpr std::string_view kColumn =
      sizeof(Column.text) > 1 ? std::string_view{Column.text, sizeof(Column.text) - 1} : kName;
  static constexpr const json::Key& kKey = json::kKey<Name>;

  template <class R>
  static constexpr auto& of(R& record) {
    return record.*Member;
  }
};

template <class... F>
struct List {
  static constexpr size_t kSize = sizeof...(F);
  using Tuple = std::tuple<F...>;
};

// Specialised for each record kind T:
//   static constexpr std::string_view kDescription = "struct T";  // in causes
//   using Fields = List<Field<...>, ...>;
template <class T>
struct Table;

// f(F{}) for each field F of T, in declaration order.
template <class T, class Fn>
constexpr void for_each(Fn&& fn) {
  [&]<class... F>(List<F...>) { (fn(F{}), ...); }(typename Table<T>::Fields{});
}

template <class T>
inline constexpr size_t kCount = Table<T>::Fields::kSize;

// The JSON keys of T's fields, in declaration order.
template <class T>
inline constexpr auto kNames = []<class... F>(List<F...>) {
  return std::array<std::string_view, sizeof...(F)>{F::kName...};
}(typename Table<T>::Fields{});

// Bit i set: field i is required in object form.
template <class T>
inline constexpr uint64_t kRequired = []<class... F>(List<F...>) {
  static_assert(sizeof...(F) < 64);
  uint64_t mask = 0;
  size_t i = 0;
  ((mask |= kOptional<typename F::Kind> ? 0 : uint64_t{1} << i, ++i), ...);
  return mask;
}(typename Table<T>::Fields{});

// How T looks to the decoder: every field in the array form.
template <class T>
inline constexpr json::RecordShape kShape{Table<T>::kDescription, kNames<T>, kRequired<T>,
                                          kCount<T>};

// The I-th field of T.
template <class T, size_t I>
using FieldAt = std::tuple_element_t<I, typename Table<T>::Fields::Tuple>;

// ---- JSON decoding ----

template <class T>
[[nodiscard]] inline Status decode_record(json::Cursor& c, T& out);

[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Text, std::string& v) {
  return c.string(v);
}
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, OptionalText,
                                                  std::optional<std::string>& v) {
  return c.optional_string(v);
}
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Flag, bool& v) {
  return json::assign(v, c.boolean());
}
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Texts,
                                                  std::vector<std::string>& v) {
  return c.string_array(v);
}
template <class Names>
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Enum<Names>,
                                                  typename Names::type& v) {
  return json::assign(v, Names::decode(c));
}
template <auto Decode, class R>
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Decoded<Decode>, R& v) {
  return json::assign(v, Decode(c));
}
template <class R>
[[gnu::always_inline]] inline Status decode_value(json::Cursor& c, Nested, R& v) {
  return decode_record(c, v);
}

// Field I of T; past the last field, the last one (for the cases of
// decode_field that a record of fewer fields never reaches).
template <class T, size_t I>
[[gnu::always_inline]] inline Status decode_at(json::Cursor& c, T& out) {
  using F = FieldAt<T, (I < kCount<T> ? I : kCount<T> - 1)>;
  return decode_value(c, typename F::Kind{}, F::of(out));
}

// Decodes field `i` of T (which the cursor is at) into its member of `out`.
// A switch inlined into the record's decoder, as a hand-written decoder
// has, so that the compiler makes one indexed jump of it rather than a
// call and a comparison per field.
template <class T>
[[gnu::always_inline]] inline Status decode_field(size_t i, json::Cursor& c, T& out) {
  static_assert(kCount<T> <= 16, "decode_field has cases for 16 fields");
  switch (i) {
    case 0: return decode_at<T, 0>(c, out);
    case 1: return decode_at<T, 1>(c, out);
    case 2: return decode_at<T, 2>(c, out);
    case 3: return decode_at<T, 3>(c, out);
    case 4: return decode_at<T, 4>(c, out);
    case 5: return decode_at<T, 5>(c, out);
    case 6: return decode_at<T, 6>(c, out);
    case 7: return decode_at<T, 7>(c, out);
    case 8: return decode_at<T, 8>(c, out);
    case 9: return decode_at<T, 9>(c, out);
    case 10: return decode_at<T, 10>(c, out);
    case 11: return decode_at<T, 11>(c, out);
    case 12: return decode_at<T, 12>(c, out);
    case 13: return decode_at<T, 13>(c, out);
    case 14: return decode_at<T, 14>(c, out);
    default: return decode_at<T, 15>(c, out);
  }
}

// T in object or array form (json::Cursor::record with kShape<T>), decoded
// straight into `out`, which holds default fields; on error it holds the
// fields read so far.
template <class T>
[[gnu::always_inline]] inline Status decode_record(json::Cursor& c, T& out) {
  return c.record(kShape<T>,
                  [&out](size_t i, json::Cursor& f) -> Status { return decode_field(i, f, out); });
}

}  // namespace dovek::fields
