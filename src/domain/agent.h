// Prompt assembly. The core calls no model: to run a request is to produce
// the exact prompt text an agent would be given. RunInput (message + resolved
// skill context) -> Exec::build_prompt -> Prompt (titled blocks + user
// message) -> Prompt::render -> one text, returned by Exec::dry_run as the
// single text event of a RunOutput.
#pragma once

#include <string>
#include <vector>

#include "domain/context.h"
#include "domain/event.h"
#include "domain/model.h"
#include "domain/tool.h"

namespace dovek::agent {

// The agent handed to an executor: the selected model, which does not
// influence the prompt text.
struct Agent {
  model::Model model;
};

// What an agent is asked: the user message that closes the prompt and the
// resolved skill context.
struct RunInput {
  std::string message;
  skill::SkillContext skill_context;

  // Replaces (does not merge) the input's context and returns the input.
  static RunInput with_skill_context(RunInput input, skill::SkillContext context) {
    input.skill_context = std::move(context);
    return input;
  }
};

// A titled part of a prompt. Neither title nor body ends in a line break of
// its own; render() adds the separators.
struct PromptBlock {
  std::string title;
  std::string body;

  bool operator==(const PromptBlock&) const = default;
};

struct Prompt {
  std::vector<PromptBlock> blocks;
  std::string user_message;

  // Blocks as "## {title}\n{body}" separated by one empty line, then
  // "## User message\n" and the message, with no final line break.
  std::string render() const;
};

struct RunOutput {
  std::vector<event::Event> events;
};

// "- @{id}: {name} [{source}]", then "  Description: {d}" when present and
// "  Suggested tools: a, b" when there are any; lines joined by "\n".
std::string render_skill_summary(const skill::SkillSummary& summary);

// The executor of one request: a view of the core's agent and of its tool
// registry (null in an executor made without a core), which a dry run does
// not read. Built per request, then dropped; REQUIRES: both outlive it.
struct Exec {
  const Agent* agent = nullptr;
  const tool::Registry* registry = nullptr;

  // Blocks "Assigned skills" (if any), one "Mentioned skill: @{id}" per
  // mentioned skill, "Skill context issues" (if any); then the user message.
  // Pure.
  Prompt build_prompt(const RunInput& input) const;

  // One text event: render(build_prompt(input)). Cannot fail.
  RunOutput dry_run(RunInput input) const;
};

}  // namespace dovek::agent
