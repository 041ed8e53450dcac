#include "domain/agent.h"

#include <string_view>
#include <utility>

#include "base/utf8.h"

namespace dovek::agent {
namespace {

void append_joined(std::string& out, const std::vector<std::string>& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
}

void append_heading(std::string& out, std::string_view prefix, const std::string& id,
                    const std::string& name, skill::Source source) {
  out += prefix;
  out += '@';
  out += id;
  out += ": ";
  out += name;
  out += " [";
  out += skill::source_label(source);
  out += ']';
}

std::string render_mentioned(const skill::Skill& s) {
  std::string body;
  append_heading(body, "", s.id(), s.name(), s.source());
  if (s.description()) {
    body += "\nDescription: ";
    body += *s.description();
  }
  if (!s.suggested_tools().empty()) {
    body += "\nSuggested tools: ";
    append_joined(body, s.suggested_tools());
  }
  // Whitespace-only content adds nothing; other content goes in untrimmed.
  if (!utf8::trim_white_space(s.content()).empty()) {
    body += "\nInstructions:\n";
    body += s.content();
  }
  return body;
}

}  // namespace

std::string render_skill_summary(const skill::SkillSummary& summary) {
  std::string out;
  append_heading(out, "- ", summary.id(), summary.name(), summary.source());
  if (summary.description()) {
    out += "\n  Description: ";
    out += *summary.description();
  }
  if (!summary.suggested_tools().empty()) {
    out += "\n  Suggested tools: ";
    append_joined(out, summary.suggested_tools());
  }
  return out;
}

std::string Prompt::render() const {
  std::string out;
  for (const PromptBlock& block : blocks) {
    if (!out.empty()) out += "\n\n";
    out += "## ";
    out += block.title;
    out += '\n';
    out += block.body;
  }
  if (!out.empty()) out += "\n\n";
  out += "## User message\n";
  out += user_message;
  return out;
}

Prompt Exec::build_prompt(const RunInput& input) const {
  const skill::SkillContext& context = input.skill_context;
  Prompt prompt;
  if (!context.assigned.empty()) {
    std::string body;
    for (size_t i = 0; i < context.assigned.size(); ++i) {
      if (i > 0) body += "\n\n";
      body += render_skill_summary(context.assigned[i]);
    }
    prompt.blocks.push_back(PromptBlock{"Assigned skills", std::move(body)});
  }
  for (const skill::Skill& skill : context.mentioned) {
    prompt.blocks.push_back(
        PromptBlock{"Mentioned skill: @" + skill.id(), render_mentioned(skill)});
  }
  if (!context.issues.empty()) {
    std::string body;
    for (size_t i = 0; i < context.issues.size(); ++i) {
      if (i > 0) body += '\n';
      body += "- @";
      body += context.issues[i].skill;
      body += ": ";
      body += context.issues[i].message;
    }
    prompt.blocks.push_back(PromptBlock{"Skill context issues", std::move(body)});
  }
  prompt.user_message = input.message;
  return prompt;
}

RunOutput Exec::dry_run(RunInput input) const {
  RunOutput output;
  output.events.emplace_back(event::Text{build_prompt(input).render()});
  return output;
}

}  // namespace dovek::agent
