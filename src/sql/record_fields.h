// The columns of each stored record kind, derived from its field table
// (domain/fields.h), for stores that keep a record as a row: write() hands
// them to a sink and read() takes them back from a source, so every database
// store maps records the same way whatever its driver.
//
// A Sink has text(std::string_view), text(const std::optional<std::string>&)
// and integer(int64_t), each taking the next column and returning the sink;
// a Source has text() (a string_view), optional_text() and integer(), each
// reading the next column. Enumerations and flags are stored as numbers, a
// list of texts as a JSON array of strings (tools_json), a nested record of
// one field as that field. A session's messages are no column: its stores
// keep them as rows of their own.
//
// Beside each record kind stand the names of its columns, in the same order,
// and the table that holds the records: the stores build their statements
// from them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/fields.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "json/parse.h"
#include "json/write.h"

namespace dovek::sql {

// A table of records, one row each under a `key` column, and the record's
// columns after it in write()/read() order.
struct Table {
  std::string_view name;
  std::span<const std::string_view> columns;
};

// Whether a field of this kind is a column.
template <class Kind>
inline constexpr bool kColumn = true;
template <>
inline constexpr bool kColumn<fields::History> = false;

// The column names of T, in field order.
template <class T>
inline constexpr auto kColumns = [] {
  constexpr size_t n = [] {
    size_t count = 0;
    fields::for_each<T>([&count]<class F>(F) { count += kColumn<typename F::Kind>; });
    return count;
  }();
  std::array<std::string_view, n> out{};
  size_t i = 0;
  fields::for_each<T>([&]<class F>(F) {
    if constexpr (kColumn<typename F::Kind>) out[i++] = F::kColumn;
  });
  return out;
}();

inline constexpr Table kTasks{"tasks", kColumns<run::Task>};
inline constexpr Table kRuns{"runs", kColumns<run::Run>};
inline constexpr Table kProfiles{"profiles", kColumns<auth::Profile>};
inline constexpr Table kModels{"models", kColumns<model::Model>};
// Each skill row also has a version, which its stores keep.
inline constexpr Table kSkills{"skills", kColumns<skill::SkillFields>};
// A session's own fields, without its messages (a row each). The sessions
// table also has `gen` after `key`, kept by its stores.
inline constexpr Table kSessions{"sessions", kColumns<chat::Session>};

inline std::string tools_json(const std::vector<std::string>& tools) {
  json::Writer w;
  w.begin_array();
  for (const std::string& t : tools) w.string(t);
  w.end_array();
  return w.take();
}

// ---- one value per kind ----

template <class Sink>
void put(Sink& s, fields::Text, const std::string& v, std::string_view) {
  s.text(v);
}
template <class Sink>
void put(Sink& s, fields::OptionalText, const std::optional<std::string>& v, std::string_view) {
  s.text(v);
}
template <class Sink>
void put(Sink& s, fields::Flag, bool v, std::string_view) {
  s.integer(int64_t{v});
}
template <class Sink, class Names>
void put(Sink& s, fields::Enum<Names>, typename Names::type v, std::string_view) {
  s.integer(static_cast<int64_t>(v));
}
// `texts` is the list's tools_json, made by the caller.
template <class Sink>
void put(Sink& s, fields::Texts, const std::vector<std::string>&, std::string_view texts) {
  s.text(texts);
}
template <class Sink, class R>
void put(Sink& s, fields::Nested, const R& v, std::string_view texts) {
  static_assert(fields::kCount<R> == 1, "a nested record is one column");
  using F = fields::FieldAt<R, 0>;
  put(s, typename F::Kind{}, F::of(v), texts);
}

template <class Source>
void take(Source& s, fields::Text, std::string& v) {
  v = s.text();
}
template <class Source>
void take(Source& s, fields::OptionalText, std::optional<std::string>& v) {
  v = s.optional_text();
}
template <class Source>
void take(Source& s, fields::Flag, bool& v) {
  v = s.integer() != 0;
}
template <class Source, class Names>
void take(Source& s, fields::Enum<Names>, typename Names::type& v) {
  const int64_t n = s.integer();
  constexpr auto kSize = static_cast<int64_t>(std::size(Names::kNames));
  v = n >= 0 && n < kSize ? static_cast<typename Names::type>(n) : Names::kFallback;
}
// Written as an array of strings; anything else reads as an empty list.
template <class Source>
void take(Source& s, fields::Texts, std::vector<std::string>& v) {
  Result<json::Value> texts = json::parse(s.text());
  if (texts.ok() && texts->is_array()) {
    for (const json::Value& t : texts->as_array()) {
      if (t.is_string()) v.push_back(t.as_string());
    }
  }
}
template <class Source, class R>
void take(Source& s, fields::Nested, R& v) {
  using F = fields::FieldAt<R, 0>;
  take(s, typename F::Kind{}, F::of(v));
}

// ---- whole records ----

// The columns of `record` in order. `texts`: the tools_json of its list of
// texts, when it has one (a skill's suggested tools), which the caller keeps
// alive as long as the sink needs it.
template <class Sink, class T>
void write(Sink& s, const T& record, std::string_view texts = {}) {
  fields::for_each<T>([&]<class F>(F) {
    if constexpr (kColumn<typename F::Kind>) put(s, typename F::Kind{}, F::of(record), texts);
  });
}

// Reads the columns into `record`'s fields; the others are left as they are.
template <class T, class Source>
void read_into(Source& s, T& record) {
  fields::for_each<T>([&]<class F>(F) {
    if constexpr (kColumn<typename F::Kind>) take(s, typename F::Kind{}, F::of(record));
  });
}

template <class T, class Source>
T read(Source& s) {
  T record;
  read_into(s, record);
  return record;
}

// Whether two records agree on every column.
template <class T>
bool same_columns(const T& a, const T& b) {
  bool same = true;
  fields::for_each<T>([&]<class F>(F) {
    if constexpr (kColumn<typename F::Kind>) same = same && F::of(a) == F::of(b);
  });
  return same;
}

template <class Sink>
void write(Sink& s, const skill::Skill& k, std::string_view tools) {
  write(s, k.fields(), tools);
}

template <class Source>
run::Task read_task(Source& s) {
  return read<run::Task>(s);
}
template <class Source>
run::Run read_run(Source& s) {
  return read<run::Run>(s);
}
template <class Source>
auth::Profile read_profile(Source& s) {
  return read<auth::Profile>(s);
}
template <class Source>
model::Model read_model(Source& s) {
  return read<model::Model>(s);
}
template <class Source>
skill::Skill read_skill(Source& s) {
  return skill::Skill(read<skill::SkillFields>(s));
}

// A session's columns, its messages apart.
template <class Sink>
void write_attributes(Sink& s, const chat::Session& c) {
  write(s, c);
}
template <class Source>
void read_attributes(Source& s, chat::Session& c) {
  read_into(s, c);
}
inline bool same_attributes(const chat::Session& a, const chat::Session& b) {
  return same_columns(a, b);
}

// A message's role as stored.
inline int64_t role_number(chat::Role role) { return role == chat::Role::kAssistant ? 1 : 0; }
inline chat::Role role_of(int64_t number) {
  return number == 1 ? chat::Role::kAssistant : chat::Role::kUser;
}

// The statement that puts the default model into a new database's models
// table as the selected one.
inline std::string default_model_row() {
  auto quoted = [](std::string_view s) { return "'" + std::string(s) + "'"; };
  return "INSERT INTO models VALUES (" + quoted(model::kSelectedKey) + ", " +
         quoted(model::kDefaultProvider) + ", " + quoted(model::kDefaultId) + ");\n";
}

}  // namespace dovek::sql
