// Small builders shared by the domain tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "domain/skill.h"

namespace dovek::testing_skills {

inline skill::Skill make_skill(std::string id, std::string name = "",
                               skill::Source source = skill::Source::kUser,
                               std::optional<std::string> description = std::nullopt,
                               std::vector<std::string> tools = {}, std::string content = "") {
  skill::SkillFields f;
  f.id = std::move(id);
  f.name = std::move(name);
  f.source = source;
  f.description = std::move(description);
  f.suggested_tools = std::move(tools);
  f.content = std::move(content);
  return skill::Skill(std::move(f));
}

}  // namespace dovek::testing_skills
