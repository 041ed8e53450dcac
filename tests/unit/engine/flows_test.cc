// The command flows and what they leave in the stores.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/core.h"
#include "engine/dispatch.h"
#include "protocol/decode.h"
#include "test_util.h"

namespace dovek {
namespace {

using testing::FixedTool;

class Flows : public ::testing::Test {
 protected:
  Flows() : core_(engine::Core::create_default()) {}

  // Runs one command text through decode and Core::handle.
  protocol::CoreResponse handle(const std::string& text) {
    Result<protocol::CoreCommand> command = protocol::decode_command(text);
    EXPECT_TRUE(command.ok()) << command.error().chain();
    Result<protocol::CoreResponse> response = core_->handle(std::move(*command));
    EXPECT_TRUE(response.ok()) << response.error().chain();
    return response.ok() ? std::move(*response) : protocol::CoreResponse(protocol::Saved{});
  }

  // The single text event of a chat_turn or run_task response.
  std::string text_of(const protocol::CoreResponse& response) {
    const std::vector<event::Event>* events = nullptr;
    if (const auto* r = std::get_if<protocol::ChatTurnResponse>(&response)) events = &r->events;
    if (const auto* r = std::get_if<protocol::RunTaskResponse>(&response)) events = &r->events;
    if (events == nullptr || events->size() != 1) {
      ADD_FAILURE() << "expected exactly one event";
      return "";
    }
    const auto* text = std::get_if<event::Text>(&events->front());
    if (text == nullptr) {
      ADD_FAILURE() << "expected a text event";
      return "";
    }
    return text->value;
  }

  std::vector<chat::Message> messages(std::string_view session) {
    Result<std::optional<chat::Session>> s = core_->stores.sessions->get(session);
    EXPECT_TRUE(s.ok());
    if (!s.ok() || !s->has_value()) return {};
    EXPECT_EQ((*s)->id, session);
    return (*s)->messages.to_vector();
  }

  template <class T>
  std::optional<T> get(const std::shared_ptr<store::Repository<T>>& repo, std::string_view key) {
    Result<std::optional<T>> r = repo->get(key);
    EXPECT_TRUE(r.ok());
    return r.ok() ? *r : std::nullopt;
  }

  std::unique_ptr<engine::Core> core_;
};

// ---- chat turns ----

TEST_F(Flows, ChatTurnsAppendUserThenReplyPerSession) {
  const std::string first = text_of(handle(testing::chat_turn("s1", "hello")));
  std::vector<chat::Message> m = messages("s1");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], (chat::Message{"hello", chat::Role::kUser}));
  EXPECT_EQ(m[1], (chat::Message{first, chat::Role::kAssistant}));

  const std::string other = text_of(handle(testing::chat_turn("S1", "elsewhere")));
  const std::string second = text_of(handle(testing::chat_turn("s1", "again @writer")));
  m = messages("s1");
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], (chat::Message{"hello", chat::Role::kUser}));
  EXPECT_EQ(m[1], (chat::Message{first, chat::Role::kAssistant}));
  EXPECT_EQ(m[2], (chat::Message{"again @writer", chat::Role::kUser}));
  EXPECT_EQ(m[3], (chat::Message{second, chat::Role::kAssistant}));
  EXPECT_NE(second.find("unknown mentioned skill: writer"), std::string::npos) << second;

  // Ids differing in case are different sessions, and they share nothing.
  std::vector<chat::Message> s = messages("S1");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].content, "elsewhere");
  EXPECT_EQ(s[1].content, other);
}

TEST_F(Flows, EmptySessionIdIsASession) {
  handle(testing::chat_turn("", "x"));
  EXPECT_EQ(messages("").size(), 2u);
}

TEST_F(Flows, ChatTurnSeesTheLatestSaveOfASkill) {
  handle(testing::save_skill("w", "Old", "old body"));
  std::string prompt = text_of(handle(testing::chat_turn("s", "use @w", R"(["w"])")));
  EXPECT_NE(prompt.find("- @w: Old [user]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("old body"), std::string::npos) << prompt;

  // Saving under the same id replaces; the next turn must see the new one.
  handle(testing::save_skill("w", "New", "new body"));
  prompt = text_of(handle(testing::chat_turn("s", "use @w", R"(["w"])")));
  EXPECT_NE(prompt.find("- @w: New [user]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("new body"), std::string::npos) << prompt;
  EXPECT_EQ(prompt.find("Old"), std::string::npos) << prompt;

  // A skill saved after earlier turns is visible to the next one.
  handle(testing::save_skill("", "Empty id", "e"));
  prompt = text_of(handle(testing::chat_turn("s", "x", R"(["", "gone"])")));
  EXPECT_NE(prompt.find("- @: Empty id [user]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("assigned skill is missing: gone"), std::string::npos) << prompt;
}

TEST_F(Flows, SkillCatalogMatchesAFreshBuildAfterEveryChange) {
  for (const char* id : {"b", "a", "ab", "B", "a"}) {
    skill::SkillFields fields;
    fields.id = id;
    fields.name = id;
    ASSERT_TRUE(core_->save_skill(skill::Skill(std::move(fields))).ok());
    Result<skill::Catalog> memo = core_->skill_catalog();
    ASSERT_TRUE(memo.ok());
    Result<skill::Catalog> again = core_->skill_catalog();
    ASSERT_TRUE(again.ok());
    Result<store::Repository<skill::Skill>::List> listing = core_->stores.skills->list();
    ASSERT_TRUE(listing.ok());
    skill::Catalog fresh = skill::Catalog::from_skills(listing->to_vector());
    EXPECT_EQ(memo->skills(), fresh.skills());
    EXPECT_EQ(again->skills(), fresh.skills());
  }
  Result<skill::Catalog> catalog = core_->skill_catalog();
  ASSERT_TRUE(catalog.ok());
  std::vector<std::string> ids;
  for (const skill::Skill& s : catalog->skills()) ids.push_back(s.id());
  EXPECT_EQ(ids, (std::vector<std::string>{"B", "a", "ab", "b"}));
}

TEST_F(Flows, ModelSwitchChangesModelButNotSessions) {
  EXPECT_EQ(core_->agent.model, model::Model::create("openai", "gpt-5.5"));
  handle(testing::chat_turn("s", "one"));
  const std::vector<chat::Message> before = messages("s");
  protocol::CoreResponse r = handle(testing::kSwitchModel);
  ASSERT_TRUE(std::holds_alternative<protocol::ModelSwitched>(r));
  EXPECT_EQ(std::get<protocol::ModelSwitched>(r).model, model::Model::create("anthropic", "m2"));
  EXPECT_EQ(core_->agent.model, model::Model::create("anthropic", "m2"));
  EXPECT_EQ(messages("s"), before);
}

TEST_F(Flows, SaveProfileKeysByProviderAndReplaces) {
  handle(R"({"type":"save_profile","profile":{"provider":{"id":"p"},"secret":{"key":"one"}}})");
  handle(R"({"type":"save_profile","profile":{"provider":{"id":"p"},"secret":{"key":"two"}}})");
  handle(R"({"type":"save_profile","profile":{"provider":{"id":""},"secret":{"key":"e"}}})");
  Result<store::Repository<auth::Profile>::List> all = core_->stores.profiles->list();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(all->to_vector()[0], (auth::Profile{{""}, {"e"}}));
  EXPECT_EQ(all->to_vector()[1], (auth::Profile{{"p"}, {"two"}}));
}

// ---- tasks and runs ----

TEST_F(Flows, StartRunStoresTaskAndRunningRun) {
  protocol::CoreResponse r = handle(testing::start_run("r1", "t1", "s1"));
  ASSERT_TRUE(std::holds_alternative<protocol::RunStarted>(r));
  run::Run want = run::Run::create("r1", "t1");
  want.status = run::RunStatus::kRunning;
  want.session_id = "s1";
  EXPECT_EQ(std::get<protocol::RunStarted>(r).run, want);
  EXPECT_EQ(get(core_->stores.runs, "r1"), want);
  std::optional<run::Task> task = get(core_->stores.tasks, "t1");
  ASSERT_TRUE(task.has_value());
  EXPECT_EQ(task->title, "Title t1");
}

TEST_F(Flows, RunTaskOnUnknownRunCreatesDoneRunWithoutSession) {
  const std::string prompt = text_of(handle(testing::run_task("r2", "t9", "go")));
  EXPECT_EQ(prompt.rfind("## User message\nTask: Title t9\n\ngo", 0), 0u) << prompt;
  run::Run want = run::Run::create("r2", "t9");
  want.status = run::RunStatus::kDone;
  EXPECT_EQ(get(core_->stores.runs, "r2"), want);
  EXPECT_FALSE(want.session_id.has_value());
  EXPECT_TRUE(get(core_->stores.tasks, "t9").has_value());

  // Again: still done, nothing else changes.
  text_of(handle(testing::run_task("r2", "t9", "go")));
  EXPECT_EQ(get(core_->stores.runs, "r2"), want);
}

TEST_F(Flows, RunTaskKeepsTheStartedRunsTaskAndSession) {
  handle(testing::start_run("r1", "t1", "s1"));
  text_of(handle(testing::run_task("r1", "t2")));
  run::Run want = run::Run::create("r1", "t1");
  want.status = run::RunStatus::kDone;
  want.session_id = "s1";
  EXPECT_EQ(get(core_->stores.runs, "r1"), want);
  EXPECT_TRUE(get(core_->stores.tasks, "t1").has_value());
  EXPECT_TRUE(get(core_->stores.tasks, "t2").has_value());
}

TEST_F(Flows, StartRunAgainReplacesTheWholeRun) {
  handle(testing::start_run("r1", "t1", "s1"));
  text_of(handle(testing::run_task("r1", "t1")));
  protocol::CoreResponse r = handle(testing::start_run("r1", "t2", "s2"));
  run::Run want = run::Run::create("r1", "t2");
  want.status = run::RunStatus::kRunning;
  want.session_id = "s2";
  EXPECT_EQ(std::get<protocol::RunStarted>(r).run, want);
  EXPECT_EQ(get(core_->stores.runs, "r1"), want);
}

TEST_F(Flows, RunTaskStoresTheTaskExactlyAsGiven) {
  handle(
      R"({"type":"run_task","run_id":"r","task":{"id":"t","title":"T","status":"odd","error":null},)"
      R"("message":"m @w","assigned_skills":["w","w"]})");
  std::optional<run::Task> task = get(core_->stores.tasks, "t");
  ASSERT_TRUE(task.has_value());
  run::Task want;
  want.id = "t";
  want.title = "T";
  want.status = "odd";
  EXPECT_EQ(*task, want);
}

TEST_F(Flows, RunTaskResolvesAssignedAndMentionedSkills) {
  handle(testing::save_skill("w", "Writer", "write well"));
  std::string prompt =
      text_of(handle(R"({"type":"run_task","run_id":"r","task":{"id":"t","title":"about @w"},)"
                     R"("message":"with @w and @nope","assigned_skills":["w","missing"]})"));
  EXPECT_NE(prompt.find("- @w: Writer [user]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("write well"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("assigned skill is missing: missing"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("unknown mentioned skill: nope"), std::string::npos) << prompt;
}

// ---- tool calls ----

// The response to a call_tool command "c1" of the tool `name` on `input`.
std::string call(engine::Core& core, std::string_view name, std::string_view input) {
  Result<std::string> text =
      engine::dispatch_json(core, R"({"type":"call_tool","call":{"id":"c1","name":")" +
                                      std::string(name) + R"(","input":)" + std::string(input) +
                                      "}}");
  EXPECT_TRUE(text.ok()) << text.error().chain();
  return text.ok() ? *text : "";
}

// The response that call() gets: the call's echo, then `outcome`.
std::string tool_events(std::string_view name, std::string_view input, std::string_view outcome) {
  return R"({"type":"tool_events","events":[{"type":"tool_call","id":"c1","name":")" +
         std::string(name) + R"(","input":)" + std::string(input) + "}," + std::string(outcome) +
         "]}";
}

TEST_F(Flows, RegisteredToolResultBecomesToolResultEvent) {
  auto tool = std::make_shared<FixedTool>(json::Value(42));
  core_->register_tool("echo", tool);
  json::Object input;
  input.set("a", json::Value(1));
  EXPECT_EQ(call(*core_, "echo", R"({"a":1})"),
            tool_events("echo", R"({"a":1})", R"({"type":"tool_result","id":"c1","value":42})"));
  ASSERT_EQ(tool->inputs.size(), 1u);
  EXPECT_EQ(tool->inputs[0], json::Value(input));

  // The name is matched exactly.
  EXPECT_EQ(call(*core_, "Echo", "null"),
            tool_events("Echo", "null", R"({"type":"error","message":"tool not found: Echo"})"));
  EXPECT_EQ(tool->inputs.size(), 1u);
}

TEST_F(Flows, FailingToolGivesItsOutermostMessageOnly) {
  struct Case {
    Error error;
    std::string message;
  };
  const Case cases[] = {
      {Error("boom"), "boom"},
      {Error("boom", Error("deeper", Error("deepest"))), "boom"},
      {context("ctx", Error("boom", Error("deeper"))), "ctx"},
  };
  for (const Case& c : cases) {
    core_->register_tool("t", std::make_shared<FixedTool>(c.error));
    EXPECT_EQ(call(*core_, "t", R"("in")"),
              tool_events("t", R"("in")", R"({"type":"error","message":")" + c.message + "\"}"));
  }
}

TEST_F(Flows, ToolCallsThroughCommandsStoreNothing) {
  core_->register_tool("echo", std::make_shared<FixedTool>(json::Value("out")));
  Result<std::string> text = engine::dispatch_json(*core_, testing::kCallTool);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, R"({"type":"tool_events","events":[{"type":"tool_call","id":"c1","name":"echo",)"
                   R"("input":{"a":1}},{"type":"tool_result","id":"c1","value":"out"}]})");
  EXPECT_TRUE(core_->stores.sessions->list()->empty());
  EXPECT_TRUE(core_->stores.runs->list()->empty());
  EXPECT_TRUE(core_->stores.tasks->list()->empty());
  EXPECT_EQ(core_->registry.size(), 1u);
}

TEST_F(Flows, ExecutorsShareRegisteredToolsButChatTurnsNeverCallThem) {
  auto tool = std::make_shared<FixedTool>(json::Value(1));
  core_->register_tool("echo", tool);
  handle(testing::chat_turn("s", "@echo"));
  handle(testing::run_task("r", "t"));
  EXPECT_TRUE(tool->inputs.empty());
}

}  // namespace
}  // namespace dovek
