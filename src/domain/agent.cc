#include "domain/agent.h"

#include <optional>
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

void append_mentioned(std::string& body, const skill::Skill& s) {
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
}

void append_summary(std::string& out, const skill::SkillSummary& summary) {
  append_heading(out, "- ", summary.id(), summary.name(), summary.source());
  if (summary.description()) {
    out += "\n  Description: ";
    out += *summary.description();
  }
  if (!summary.suggested_tools().empty()) {
    out += "\n  Suggested tools: ";
    append_joined(out, summary.suggested_tools());
  }
}

// The prompt's blocks in order, each as emit(title_head, title_tail,
// append_body) where append_body(out) appends the body to `out`. Both
// build_prompt and dry_run walk this one list, so the layout lives here only.
template <class Emit>
void for_each_block(const skill::SkillContext& context, Emit&& emit) {
  if (!context.assigned.empty()) {
    emit("Assigned skills", "", [&](std::string& body) {
      for (size_t i = 0; i < context.assigned.size(); ++i) {
        if (i > 0) body += "\n\n";
        append_summary(body, context.assigned[i]);
      }
    });
  }
  for (const skill::Skill& skill : context.mentioned) {
    emit("Mentioned skill: @", skill.id(),
         [&](std::string& body) { append_mentioned(body, skill); });
  }
  if (!context.issues.empty()) {
    emit("Skill context issues", "", [&](std::string& body) {
      for (size_t i = 0; i < context.issues.size(); ++i) {
        if (i > 0) body += '\n';
        body += "- @";
        body += context.issues[i].skill;
        body += ": ";
        body += context.issues[i].message;
      }
    });
  }
}

// Closes a rendered prompt: the separator after any block, then the user
// message.
void append_user_message(std::string& out, std::string_view message) {
  if (!out.empty()) out += "\n\n";
  out += "## User message\n";
  out += message;
}

// An upper bound, near the exact size, of the rendered prompt, so that
// dry_run writes it into one allocation.
size_t estimated_size(const RunInput& input) {
  constexpr size_t kPerSkill = 96;  // headings, labels and separators
  const skill::SkillContext& context = input.skill_context;
  size_t n = 64 + input.message.size();
  auto add_common = [&](const std::string& id, const std::string& name,
                        const std::optional<std::string>& description,
                        const std::vector<std::string>& tools) {
    n += kPerSkill + id.size() + name.size() + (description ? description->size() : 0);
    for (const std::string& tool : tools) n += tool.size() + 2;
  };
  for (const skill::SkillSummary& s : context.assigned) {
    add_common(s.id(), s.name(), s.description(), s.suggested_tools());
  }
  for (const skill::Skill& s : context.mentioned) {
    add_common(s.id(), s.name(), s.description(), s.suggested_tools());
    n += s.id().size() + s.content().size();
  }
  for (const skill::SkillIssue& issue : context.issues) {
    n += 8 + issue.skill.size() + issue.message.size();
  }
  return n;
}

}  // namespace

std::string render_skill_summary(const skill::SkillSummary& summary) {
  std::string out;
  append_summary(out, summary);
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
  append_user_message(out, user_message);
  return out;
}

Prompt Exec::build_prompt(const RunInput& input) const {
  Prompt prompt;
  for_each_block(input.skill_context,
                 [&](std::string_view head, std::string_view tail, auto&& append_body) {
                   PromptBlock block;
                   block.title.reserve(head.size() + tail.size());
                   block.title += head;
                   block.title += tail;
                   append_body(block.body);
                   prompt.blocks.push_back(std::move(block));
                 });
  prompt.user_message = input.message;
  return prompt;
}

RunOutput Exec::dry_run(RunInput input) const {
  // render(build_prompt(input)) written straight into one buffer, without
  // the intermediate blocks.
  std::string text;
  text.reserve(estimated_size(input));
  for_each_block(input.skill_context,
                 [&](std::string_view head, std::string_view tail, auto&& append_body) {
                   if (!text.empty()) text += "\n\n";
                   text += "## ";
                   text += head;
                   text += tail;
                   text += '\n';
                   append_body(text);
                 });
  append_user_message(text, input.message);
  RunOutput output;
  output.events.reserve(1);
  output.events.emplace_back(event::Text{std::move(text)});
  return output;
}

}  // namespace dovek::agent
