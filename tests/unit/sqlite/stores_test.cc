#include "sqlite/stores.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sqlite/url.h"

namespace dovek::sqlite {
namespace {

namespace fs = std::filesystem;
using chat::Role;

class StoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("dovek-sqlite-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Stores open() {
    Result<Stores> stores = open_stores(Options{(dir_ / "t.db").string()});
    EXPECT_TRUE(stores.ok()) << (stores.ok() ? "" : stores.error().chain());
    return std::move(stores).value();
  }

  // Runs `f` in a write transaction of `s` and commits.
  template <class F>
  static void write(Stores& s, F&& f) {
    ASSERT_TRUE(s.db->begin(store::Access::kWrite).ok());
    f();
    ASSERT_TRUE(s.db->commit().ok());
  }

  fs::path dir_;
};

skill::Skill make_skill(std::string id, std::string content) {
  skill::SkillFields f;
  f.id = std::move(id);
  f.content = std::move(content);
  f.suggested_tools = {"a", "b\"c"};
  f.description = "d";
  return skill::Skill(std::move(f));
}

std::vector<std::string> contents(const store::Repository<skill::Skill>& skills) {
  std::vector<std::string> out;
  Result<store::Repository<skill::Skill>::List> list = skills.list();
  EXPECT_TRUE(list.ok());
  for (const skill::Skill& s : *list) out.push_back(s.id() + "=" + s.content());
  return out;
}

TEST_F(StoreFile, RepositoryContractOnSkills) {
  Stores s = open();
  auto& skills = *s.skills;
  write(s, [&] {
    for (std::string key : {"b", "a", "ab", "B", "", "\xc3\xa9"}) {
      ASSERT_TRUE(skills.put(key, make_skill(key, "1")).ok());
    }
    ASSERT_TRUE(skills.put("a", make_skill("a", "2")).ok());
  });
  write(s, [&] {
    EXPECT_EQ(contents(skills),
              (std::vector<std::string>{"=1", "B=1", "a=2", "ab=1", "b=1", "\xc3\xa9=1"}));
    EXPECT_EQ(skills.get("a")->value(), make_skill("a", "2"));
    EXPECT_FALSE(skills.get("A")->has_value());
    EXPECT_TRUE(*skills.remove("b"));
    EXPECT_FALSE(*skills.remove("b"));
    EXPECT_FALSE(*skills.exists("b"));
    EXPECT_EQ(contents(skills).size(), 5u);
    ASSERT_TRUE(
        skills.replace_all({{"k", make_skill("k", "1")}, {"k", make_skill("k", "2")}}).ok());
    EXPECT_EQ(contents(skills), std::vector<std::string>{"k=2"});
  });
  // A rolled-back write leaves neither the file nor the cache changed.
  ASSERT_TRUE(s.db->begin(store::Access::kWrite).ok());
  ASSERT_TRUE(skills.put("z", make_skill("z", "1")).ok());
  EXPECT_EQ(contents(skills).size(), 2u);
  s.db->rollback();
  write(s, [&] { EXPECT_EQ(contents(skills), std::vector<std::string>{"k=2"}); });
}

TEST_F(StoreFile, ACatalogCatchesUpWithAnotherConnection) {
  Stores a = open(), b = open();
  write(a, [&] { ASSERT_TRUE(a.skills->put("x", make_skill("x", "1")).ok()); });
  write(b, [&] { EXPECT_EQ(contents(*b.skills), std::vector<std::string>{"x=1"}); });
  write(a, [&] {
    ASSERT_TRUE(a.skills->put("y", make_skill("y", "1")).ok());
    ASSERT_TRUE(a.skills->put("x", make_skill("x", "2")).ok());
  });
  write(b, [&] { EXPECT_EQ(contents(*b.skills), (std::vector<std::string>{"x=2", "y=1"})); });
  write(a, [&] {
    ASSERT_TRUE(*a.skills->remove("y"));
    ASSERT_TRUE(a.skills->put("y2", make_skill("y2", "1")).ok());
  });
  write(b, [&] { EXPECT_EQ(contents(*b.skills), (std::vector<std::string>{"x=2", "y2=1"})); });
}

std::vector<chat::Message> history(Stores& s, const std::string& key) {
  std::vector<chat::Message> out;
  EXPECT_TRUE(s.db->begin(store::Access::kRead).ok());
  std::optional<chat::Session> found = *s.sessions->get(key);
  if (found) out = found->messages.to_vector();
  s.db->rollback();
  return out;
}

TEST_F(StoreFile, SessionsAppendRewriteAndShareBetweenConnections) {
  Stores a = open(), b = open();
  write(a, [&] {
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"u1", Role::kUser}).ok());
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"r1", Role::kAssistant}).ok());
  });
  write(b, [&] { ASSERT_TRUE(chat::append_message(*b.sessions, "s", {"u2", Role::kUser}).ok()); });
  write(a, [&] {
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"r2", Role::kAssistant}).ok());
  });
  const std::vector<chat::Message> four = {{"u1", Role::kUser},
                                           {"r1", Role::kAssistant},
                                           {"u2", Role::kUser},
                                           {"r2", Role::kAssistant}};
  EXPECT_EQ(history(a, "s"), four);
  EXPECT_EQ(history(b, "s"), four);
  // A put that is not an append (a shorter session, changed attributes)
  // replaces the stored one; both connections see it.
  write(b, [&] {
    chat::Session short_one = chat::Session::create("s");
    short_one.title = "t";
    short_one.push({"only", Role::kUser});
    ASSERT_TRUE(b.sessions->put("s", short_one).ok());
  });
  EXPECT_EQ(history(a, "s"), (std::vector<chat::Message>{{"only", Role::kUser}}));
  write(a, [&] {
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"more", Role::kAssistant}).ok());
    EXPECT_EQ(a.sessions->get("s")->value().title, "t");
    ASSERT_TRUE(*a.sessions->remove("s"));
  });
  EXPECT_TRUE(history(b, "s").empty());
}

// Every field of every record kind lands in the column of its name and reads
// back equal: the stored rows are read by column name on a connection of
// their own.
TEST_F(StoreFile, EveryFieldIsStoredInItsNamedColumnAndReadsBack) {
  run::Task task;
  task.id = "t.id";
  task.title = "t.title";
  task.input = "t.input";
  task.agent_id = "t.agent";
  task.session_id = "t.session";
  task.status = "t.status";
  task.schedule = "t.schedule";
  task.created_at = "t.created";
  task.updated_at = "t.updated";
  task.error = "t.error";
  run::Run run;
  run.id = "r.id";
  run.task_id = "r.task";
  run.status = run::RunStatus::kCanceled;
  run.raw_status = "r.raw";
  run.session_id = "r.session";
  run.execution_id = "r.execution";
  run.checkpoint_id = "r.checkpoint";
  run.error = "r.error";
  run.started_at = "r.started";
  run.updated_at = "r.updated";
  run.ended_at = "r.ended";
  const auth::Profile profile{auth::Provider{"p.provider"}, auth::SecretRef{"p.secret"}};
  const model::Model model = model::Model::create("m.provider", "m.model");
  skill::SkillFields f;
  f.id = "k.id";
  f.name = "k.name";
  f.source = skill::Source::kExternal;
  f.source_ref = "k.ref";
  f.read_only = true;
  f.description = "k.description";
  f.content = "k.content";
  f.suggested_tools = {"k.tool"};
  const skill::Skill skill(std::move(f));
  chat::Session session = chat::Session::create("s.id");
  session.title = "s.title";
  session.agent_id = "s.agent";
  session.model_id = "s.model";
  session.provider_id = "s.provider";
  session.summary = "s.summary";
  session.parent_id = "s.parent";
  session.created_at = "s.created";
  session.updated_at = "s.updated";

  Stores s = open();
  write(s, [&] {
    ASSERT_TRUE(s.tasks->put("k", task).ok());
    ASSERT_TRUE(s.runs->put("k", run).ok());
    ASSERT_TRUE(s.profiles->put("k", profile).ok());
    ASSERT_TRUE(s.model->put("k", model).ok());
    ASSERT_TRUE(s.skills->put("k", skill).ok());
    ASSERT_TRUE(s.sessions->put("k", session).ok());
  });
  Stores fresh = open();  // reads the rows, not a cache
  ASSERT_TRUE(fresh.db->begin(store::Access::kRead).ok());
  EXPECT_EQ(fresh.tasks->get("k")->value(), task);
  EXPECT_EQ(fresh.runs->get("k")->value(), run);
  EXPECT_EQ(fresh.profiles->get("k")->value(), profile);
  EXPECT_EQ(fresh.model->get("k")->value(), model);
  EXPECT_EQ(fresh.skills->get("k")->value(), skill);
  EXPECT_EQ(fresh.sessions->get("k")->value(), session);
  fresh.db->rollback();

  const std::vector<std::pair<std::string, std::string>> columns = {
      {"tasks.id", "t.id"},
      {"tasks.title", "t.title"},
      {"tasks.input", "t.input"},
      {"tasks.agent_id", "t.agent"},
      {"tasks.session_id", "t.session"},
      {"tasks.status", "t.status"},
      {"tasks.schedule", "t.schedule"},
      {"tasks.created_at", "t.created"},
      {"tasks.updated_at", "t.updated"},
      {"tasks.error", "t.error"},
      {"runs.id", "r.id"},
      {"runs.task_id", "r.task"},
      {"runs.status", "4"},
      {"runs.raw_status", "r.raw"},
      {"runs.session_id", "r.session"},
      {"runs.execution_id", "r.execution"},
      {"runs.checkpoint_id", "r.checkpoint"},
      {"runs.error", "r.error"},
      {"runs.started_at", "r.started"},
      {"runs.updated_at", "r.updated"},
      {"runs.ended_at", "r.ended"},
      {"profiles.provider_id", "p.provider"},
      {"profiles.secret_key", "p.secret"},
      {"models.provider_id", "m.provider"},
      {"models.model_id", "m.model"},
      {"skills.id", "k.id"},
      {"skills.name", "k.name"},
      {"skills.source", "2"},
      {"skills.source_ref", "k.ref"},
      {"skills.read_only", "1"},
      {"skills.description", "k.description"},
      {"skills.content", "k.content"},
      {"skills.suggested_tools", "[\"k.tool\"]"},
      {"sessions.id", "s.id"},
      {"sessions.title", "s.title"},
      {"sessions.agent_id", "s.agent"},
      {"sessions.model_id", "s.model"},
      {"sessions.provider_id", "s.provider"},
      {"sessions.summary", "s.summary"},
      {"sessions.parent_id", "s.parent"},
      {"sessions.created_at", "s.created"},
      {"sessions.updated_at", "s.updated"},
  };
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "t.db").c_str(), &db), SQLITE_OK);
  for (const auto& [column, expected] : columns) {
    const size_t dot = column.find('.');
    const std::string sql = "SELECT CAST(" + column.substr(dot + 1) + " AS TEXT) FROM " +
                            column.substr(0, dot) + " WHERE key = 'k'";
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW) << sql;
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    EXPECT_EQ(std::string(text ? reinterpret_cast<const char*>(text) : "NULL"), expected) << column;
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}

// A value longer than the store's length limit, in a required field or an
// optional one, fails the write with a message naming the limit: it is never
// stored as NULL, and the transaction stores nothing.
TEST_F(StoreFile, AValueOverTheLengthLimitFailsTheWriteNamingTheLimit) {
  const std::string big(2000, 'x');
  run::Task task;
  task.id = "t";
  task.title = "t";
  task.input = big;
  const skill::Skill skill = make_skill("k", big);
  Stores s = open();
  for (bool optional_field : {true, false}) {
    ASSERT_TRUE(s.db->begin(store::Access::kWrite).ok());
    sqlite3_limit(s.db->connection(), SQLITE_LIMIT_LENGTH, 1000);
    ASSERT_TRUE(
        s.profiles->put("p", auth::Profile{auth::Provider{"p"}, auth::SecretRef{"s"}}).ok());
    const Status put = optional_field ? s.tasks->put("t", task) : s.skills->put("k", skill);
    ASSERT_FALSE(put.ok()) << optional_field;
    EXPECT_EQ(put.error().message(),
              "store error: a value is longer than the store's limit of 1000 bytes");
    s.db->rollback();
  }
  Stores fresh = open();
  ASSERT_TRUE(fresh.db->begin(store::Access::kRead).ok());
  EXPECT_FALSE(fresh.tasks->get("t")->has_value());
  EXPECT_FALSE(fresh.skills->get("k")->has_value());
  EXPECT_FALSE(fresh.profiles->get("p")->has_value());
  fresh.db->rollback();
}

TEST(StoreUrl, PathsAndOptions) {
  Result<Options> o = parse_url("sqlite:////var/a%20b.db?busy_timeout_ms=0&synchronous=full");
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o->path, "/var/a b.db");
  EXPECT_EQ(o->busy_timeout_ms, 0);
  EXPECT_TRUE(o->synchronous_full);
  EXPECT_EQ(parse_url("sqlite:///rel.db")->path, "rel.db");
  for (const char* bad : {"sqlite:///a.db?synchronous", "sqlite:///a%2", "sqlite:///a%00b",
                          "sqlite:///a.db?busy_timeout_ms=1x"}) {
    EXPECT_FALSE(parse_url(bad).ok()) << bad;
  }
}

}  // namespace
}  // namespace dovek::sqlite
