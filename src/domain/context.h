// Which skills apply to a request: skills assigned by id and skills mentioned
// in the text as `@id`, looked up in a Catalog. References that cannot be
// resolved become SkillIssue data for the prompt, never errors.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "domain/catalog.h"
#include "domain/skill.h"

namespace dovek::skill {

enum class SkillIssueKind { kUnknownMention, kMissingAssigned };

struct SkillIssue {
  std::string skill;    // the id or mention name as referenced
  std::string message;  // "unknown mentioned skill: {name}" / "assigned skill is missing: {id}"
  SkillIssueKind kind;

  bool operator==(const SkillIssue&) const = default;
};

// The resolved skills of one request. Empty (three empty lists) is the
// starting value of every agent input.
struct SkillContext {
  std::vector<SkillSummary> assigned;  // one per distinct assigned id found, in list order
  std::vector<Skill> mentioned;        // one per distinct mention found, in text order
  std::vector<SkillIssue> issues;      // assigned-id issues first, then mention issues

  bool operator==(const SkillContext&) const = default;
};

// The distinct mention names of `text`, in order of first appearance.
//
// The text is split into words at runs of Unicode White_Space. A word that
// starts with '@' is a candidate; the rest of it, stripped at both ends of
// every character other than ASCII letters, digits, '-' and '_', is the name
// (whatever lies between the first and last kept character stays). Empty
// names are dropped; names compare byte for byte, case-sensitively.
// REQUIRES: text is valid UTF-8 (every decoded string is).
std::vector<std::string> mentions(std::string_view text);

// Resolves the assigned ids (in order, repeats skipped) and then the
// mentions of `text` against `catalog`. Never fails; the catalog is only read.
SkillContext resolve_context(const Catalog& catalog, const std::vector<std::string>& assigned,
                             std::string_view text);

}  // namespace dovek::skill
