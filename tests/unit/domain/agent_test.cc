// The prompt text, byte for byte.
#include "domain/agent.h"

#include <gtest/gtest.h>

#include "domain/chat.h"
#include "domain/run.h"
#include "test_skills.h"

namespace dovek::agent {
namespace {

using skill::Source;
using testing_skills::make_skill;

skill::Catalog example_catalog() {
  return skill::Catalog::from_skills({make_skill("reviewer", "Reviewer", Source::kSystem),
                                      make_skill("writer", "Writer", Source::kUser, "Writes prose",
                                                 {"edit", "search"}, "Write well.")});
}

std::string render(const RunInput& input) { return Exec{}.build_prompt(input).render(); }

std::string chat_prompt(const skill::Catalog& catalog, std::string message,
                        std::vector<std::string> assigned = {}) {
  auto request =
      chat::TurnRequest::with_assigned_skills(chat::TurnRequest(std::move(message)), assigned);
  return render(chat::build_agent_input(catalog, request));
}

TEST(Prompt, WorkedExampleChatTurn) {
  EXPECT_EQ(chat_prompt(example_catalog(), "Please use @writer and @ghost", {"reviewer"}),
            "## Assigned skills\n"
            "- @reviewer: Reviewer [system]\n"
            "\n"
            "## Mentioned skill: @writer\n"
            "@writer: Writer [user]\n"
            "Description: Writes prose\n"
            "Suggested tools: edit, search\n"
            "Instructions:\n"
            "Write well.\n"
            "\n"
            "## Skill context issues\n"
            "- @ghost: unknown mentioned skill: ghost\n"
            "\n"
            "## User message\n"
            "Please use @writer and @ghost");
}

TEST(Prompt, WorkedExampleTaskRun) {
  run::Task task;
  task.id = "t1";
  task.title = "Fix bug";
  run::TaskRequest request(task, "see @writer");
  EXPECT_EQ(render(run::build_agent_input(example_catalog(), request)),
            "## Mentioned skill: @writer\n"
            "@writer: Writer [user]\n"
            "Description: Writes prose\n"
            "Suggested tools: edit, search\n"
            "Instructions:\n"
            "Write well.\n"
            "\n"
            "## User message\n"
            "Task: Fix bug\n"
            "\n"
            "see @writer");
}

TEST(Prompt, TaskTitleIsNotScannedAndEmptyMessageKeepsTheBlankLine) {
  run::Task task;
  task.title = "Use @writer";
  EXPECT_EQ(render(run::build_agent_input(example_catalog(), run::TaskRequest(task, ""))),
            "## User message\nTask: Use @writer\n\n");
}

TEST(Prompt, NoBlocks) {
  EXPECT_EQ(chat_prompt(skill::Catalog(), "hi\n"), "## User message\nhi\n");
  EXPECT_EQ(chat_prompt(skill::Catalog(), ""), "## User message\n");
}

TEST(Prompt, OnlyIssues) {
  EXPECT_EQ(chat_prompt(skill::Catalog(), "@x", {"y"}),
            "## Skill context issues\n"
            "- @y: assigned skill is missing: y\n"
            "- @x: unknown mentioned skill: x\n"
            "\n"
            "## User message\n"
            "@x");
}

TEST(Prompt, TwoAssignedShareOneBlockTwoMentionedGetTwo) {
  skill::Catalog catalog = skill::Catalog::from_skills(
      {make_skill("a", "A", Source::kExternal, "", {}, "x"), make_skill("b", "B", Source::kUser)});
  EXPECT_EQ(chat_prompt(catalog, "@b @a", {"b", "a"}),
            "## Assigned skills\n"
            "- @b: B [user]\n"
            "\n"
            "- @a: A [external]\n"
            "  Description: \n"  // present but empty: the line ends in a space
            "\n"
            "## Mentioned skill: @b\n"
            "@b: B [user]\n"
            "\n"
            "## Mentioned skill: @a\n"
            "@a: A [external]\n"
            "Description: \n"
            "Instructions:\n"
            "x\n"
            "\n"
            "## User message\n"
            "@b @a");
}

TEST(Prompt, ContentWhitespaceRules) {
  // Whitespace-only content (U+3000 included) adds no Instructions line.
  skill::Catalog blank = skill::Catalog::from_skills(
      {make_skill("s", "S", Source::kUser, std::nullopt, {}, "  \n\xe3\x80\x80")});
  EXPECT_EQ(chat_prompt(blank, "@s"),
            "## Mentioned skill: @s\n@s: S [user]\n\n## User message\n@s");
  // Other content goes in untrimmed, with its own leading and trailing space.
  skill::Catalog padded = skill::Catalog::from_skills(
      {make_skill("s", "S", Source::kUser, std::nullopt, {}, "\n  Step 1\n")});
  EXPECT_EQ(chat_prompt(padded, "@s"),
            "## Mentioned skill: @s\n@s: S [user]\nInstructions:\n\n  Step 1\n"
            "\n\n## User message\n@s");
}

TEST(Prompt, RecordTextIsVerbatim) {
  skill::Catalog catalog = skill::Catalog::from_skills(
      {make_skill("s", "N\n## x", Source::kSystem, "line1\nline2", {"a b", "#c"}, "@s")});
  EXPECT_EQ(chat_prompt(catalog, "## @s", {"s"}),
            "## Assigned skills\n"
            "- @s: N\n## x [system]\n"
            "  Description: line1\nline2\n"
            "  Suggested tools: a b, #c\n"
            "\n"
            "## Mentioned skill: @s\n"
            "@s: N\n## x [system]\n"
            "Description: line1\nline2\n"
            "Suggested tools: a b, #c\n"
            "Instructions:\n"
            "@s\n"
            "\n"
            "## User message\n"
            "## @s");
}

TEST(Prompt, RenderSkillSummaryLines) {
  skill::SkillSummary plain(make_skill("p", "P", Source::kSystem));
  EXPECT_EQ(render_skill_summary(plain), "- @p: P [system]");
  skill::SkillSummary full(make_skill("f", "F", Source::kExternal, "D", {"x", "y"}, "content"));
  EXPECT_EQ(render_skill_summary(full),
            "- @f: F [external]\n  Description: D\n  Suggested tools: x, y");
}

TEST(Prompt, BuildPromptBlocks) {
  RunInput input =
      chat::build_agent_input(example_catalog(),
                              chat::TurnRequest::with_assigned_skills(chat::TurnRequest("@writer"),
                                                                      {"reviewer"}));
  Prompt p = Exec{}.build_prompt(input);
  ASSERT_EQ(p.blocks.size(), 2u);
  EXPECT_EQ(p.blocks[0], (PromptBlock{"Assigned skills", "- @reviewer: Reviewer [system]"}));
  EXPECT_EQ(p.blocks[1].title, "Mentioned skill: @writer");
  EXPECT_EQ(p.user_message, "@writer");
}

TEST(Exec, DryRunGivesOneTextEvent) {
  const Agent agent{model::Model::create("openai", "gpt-5.5")};
  const tool::Registry registry;
  Exec exec{&agent, &registry};
  RunOutput out = exec.dry_run(chat::build_agent_input(example_catalog(), chat::TurnRequest("hi")));
  ASSERT_EQ(out.events.size(), 1u);
  EXPECT_EQ(out.events[0], event::Event(event::Text{"## User message\nhi"}));
}

TEST(RunInput, WithSkillContextReplaces) {
  RunInput input{"m", {}};
  input.skill_context.issues.push_back({"x", "y", skill::SkillIssueKind::kUnknownMention});
  RunInput replaced = RunInput::with_skill_context(std::move(input), skill::SkillContext{});
  EXPECT_EQ(replaced.skill_context, skill::SkillContext{});
  EXPECT_EQ(replaced.message, "m");
}

}  // namespace
}  // namespace dovek::agent
