// Skills: named bodies of instructions a prompt can carry, and their short
// form for assigned skills. Catalog (catalog.h) indexes them by id.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "domain/fields.h"
#include "json/read.h"
#include "store/repository.h"

namespace dovek::skill {

// Where a skill comes from; also its label in prompts.
enum class Source { kSystem, kUser, kExternal };

// A Source's names; a stored number out of range reads as User.
struct SourceNames {
  using type = Source;
  static constexpr std::string_view kNames[] = {"system", "user", "external"};
  static constexpr Source kFallback = Source::kUser;
  // A string naming it, or a map with exactly one member {"name": null}.
  [[nodiscard]] static Result<Source> decode(json::Cursor& c);
};

// "system", "user" or "external".
inline std::string_view source_label(Source s) {
  return SourceNames::kNames[static_cast<size_t>(s)];
}

// The fields of a skill, in declaration order (the order of its JSON array
// form). A plain record used to build and edit a Skill.
struct SkillFields {
  std::string id;
  std::string name;
  Source source = Source::kUser;
  std::optional<std::string> source_ref;
  bool read_only = false;
  std::optional<std::string> description;
  std::string content;
  std::vector<std::string> suggested_tools;

  bool operator==(const SkillFields&) const = default;
};

// A skill record. A value: its fields sit in one immutable block shared by
// every copy, so copying a skill costs one reference count whatever the size
// of its content. edit() gives a private block first when the current one is
// shared, so a change made through one copy never reaches another copy or a
// stored record.
// Thread safety: const access from many threads is safe; edit() needs the
// same exclusive access as any other change to a value.
class Skill {
 public:
  Skill();  // empty id, name and content; source User
  explicit Skill(SkillFields fields);

  const SkillFields& fields() const { return *d_; }
  const std::string& id() const { return d_->id; }
  const std::string& name() const { return d_->name; }
  Source source() const { return d_->source; }
  const std::optional<std::string>& source_ref() const { return d_->source_ref; }
  bool read_only() const { return d_->read_only; }
  const std::optional<std::string>& description() const { return d_->description; }
  const std::string& content() const { return d_->content; }
  const std::vector<std::string>& suggested_tools() const { return d_->suggested_tools; }

  // Mutable access to this copy's fields (copy on write).
  SkillFields& edit();

  bool operator==(const Skill& other) const { return d_ == other.d_ || *d_ == *other.d_; }

 private:
  friend Result<Skill> decode_skill(json::Cursor& c);
  explicit Skill(std::shared_ptr<SkillFields> d) : d_(std::move(d)) {}

  std::shared_ptr<SkillFields> d_;  // never null; never changed while shared
};

// Maps of skills (store listings, catalogs) keep count of the skills held
// under a key other than their id (store::MarksEntries): a listing with none
// is already an index by id, which Catalog then uses as it is.
inline bool marked_entry(std::string_view key, const Skill& skill) { return key != skill.id(); }

// Object form or array form ("struct Skill", 8 elements); `source` as a
// string or a single-key map. Causes as the command decoder reports them.
[[nodiscard]] Result<Skill> decode_skill(json::Cursor& c);

// The short form of a skill that prompts show for assigned skills: id, name,
// source, source_ref, description and suggested_tools, without content or
// read_only. Independent of the skill it was made from (it shares only the
// immutable block, which no one changes in place).
class SkillSummary {
 public:
  explicit SkillSummary(const Skill& skill) : skill_(skill) {}

  const std::string& id() const { return skill_.id(); }
  const std::string& name() const { return skill_.name(); }
  Source source() const { return skill_.source(); }
  const std::optional<std::string>& source_ref() const { return skill_.source_ref(); }
  const std::optional<std::string>& description() const { return skill_.description(); }
  const std::vector<std::string>& suggested_tools() const { return skill_.suggested_tools(); }

  bool operator==(const SkillSummary& other) const;

 private:
  Skill skill_;
};

}  // namespace dovek::skill

namespace dovek::fields {

template <>
struct Table<skill::SkillFields> {
  using T = skill::SkillFields;
  static constexpr std::string_view kDescription = "struct Skill";
  using Fields =
      List<Field<"id", &T::id, Text>, Field<"name", &T::name, Text>,
           Field<"source", &T::source, Enum<skill::SourceNames>>,
           Field<"source_ref", &T::source_ref, OptionalText>,
           Field<"read_only", &T::read_only, Flag>,
           Field<"description", &T::description, OptionalText>, Field<"content", &T::content, Text>,
           Field<"suggested_tools", &T::suggested_tools, Texts>>;
};

}  // namespace dovek::fields
