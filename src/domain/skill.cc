#include "domain/skill.h"

#include <utility>

namespace dovek::skill {
namespace {

constexpr std::string_view kSourceExpected = "one of `system`, `user`, `external`";

const std::shared_ptr<SkillFields>& empty_fields() {
  static const auto* const kEmpty =
      new std::shared_ptr<SkillFields>(std::make_shared<SkillFields>());
  return *kEmpty;
}

}  // namespace

// A Source is a string naming it, or a map with exactly one member
// {"name": null}. The map's member count and the value's type are checked
// here, so that those failures get their own causes.
Result<Source> SourceNames::decode(json::Cursor& v) {
  if (v.kind() == json::TokenKind::kObjectBegin) {
    const json::Tape& tape = v.tape();
    const size_t end = v.token().end;
    size_t members = 0;
    for (size_t j = v.index() + 1; j < end; ++members) {
      ++j;  // the key; then the value
      const json::TokenKind kind = tape[j].kind;
      j = (kind == json::TokenKind::kObjectBegin || kind == json::TokenKind::kArrayBegin)
              ? tape[j].end + 1
              : j + 1;
    }
    if (members != 1) return v.error("invalid value: map, expected map with a single key");
  } else if (v.kind() != json::TokenKind::kString) {
    return v.invalid_type("string or map");
  }
  DOVEK_ASSIGN_OR_RETURN(size_t index, v.unit_variant(kNames, kSourceExpected));
  return static_cast<Source>(index);
}

Skill::Skill() : d_(empty_fields()) {}

Skill::Skill(SkillFields fields) : d_(std::make_shared<SkillFields>(std::move(fields))) {}

SkillFields& Skill::edit() {
  // Sole owner: nobody else can observe the change. (The shared empty block
  // always has a second owner, the static above, so it is never edited.)
  if (d_.use_count() != 1) d_ = std::make_shared<SkillFields>(*d_);
  return *d_;
}

Result<Skill> decode_skill(json::Cursor& c) {
  // Decoded straight into the skill's own block, so that no field is moved
  // after it is read (for_overwrite: not zero-filled before construction).
  std::shared_ptr<SkillFields> d = std::make_shared_for_overwrite<SkillFields>();
  SkillFields& f = *d;
  DOVEK_TRY(fields::decode_record(c, f));
  return Skill(std::move(d));
}

bool SkillSummary::operator==(const SkillSummary& o) const {
  return id() == o.id() && name() == o.name() && source() == o.source() &&
         source_ref() == o.source_ref() && description() == o.description() &&
         suggested_tools() == o.suggested_tools();
}

}  // namespace dovek::skill
