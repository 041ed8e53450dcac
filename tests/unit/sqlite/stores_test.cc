#include "sqlite/database.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sql/stores.h"
#include "sqlite/url.h"

namespace dovek::sqlite {
namespace {

namespace fs = std::filesystem;

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

  sql::Stores open() {
    Result<std::shared_ptr<Database>> db = Database::open(Options{(dir_ / "t.db").string()});
    EXPECT_TRUE(db.ok()) << (db.ok() ? "" : db.error().chain());
    return sql::make_stores(std::move(db).value());
  }

  // Runs `f` in a write transaction of `s` and commits.
  template <class F>
  static void write(sql::Stores& s, F&& f) {
    ASSERT_TRUE(s.transactions->begin(store::Access::kWrite).ok());
    f();
    ASSERT_TRUE(s.transactions->commit().ok());
  }

  fs::path dir_;
};

// Every field of every record kind lands in the column of its name (read
// back by name on a connection of its own; that each reads back equal
// through the stores is tests/unit/sql's).
TEST_F(StoreFile, EveryFieldIsStoredInItsNamedColumn) {
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

  sql::Stores s = open();
  write(s, [&] {
    ASSERT_TRUE(s.tasks->put("k", task).ok());
    ASSERT_TRUE(s.runs->put("k", run).ok());
    ASSERT_TRUE(s.profiles->put("k", profile).ok());
    ASSERT_TRUE(s.model->put("k", model).ok());
    ASSERT_TRUE(s.skills->put("k", skill).ok());
    ASSERT_TRUE(s.sessions->put("k", session).ok());
  });
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
  skill::SkillFields f;
  f.id = "k";
  f.content = big;
  const skill::Skill skill(std::move(f));
  sql::Stores s = open();
  for (bool optional_field : {true, false}) {
    ASSERT_TRUE(s.transactions->begin(store::Access::kWrite).ok());
    sqlite3_limit(static_cast<Database&>(*s.transactions).connection(), SQLITE_LIMIT_LENGTH, 1000);
    ASSERT_TRUE(
        s.profiles->put("p", auth::Profile{auth::Provider{"p"}, auth::SecretRef{"s"}}).ok());
    const Status put = optional_field ? s.tasks->put("t", task) : s.skills->put("k", skill);
    ASSERT_FALSE(put.ok()) << optional_field;
    EXPECT_EQ(put.error().message(),
              "store error: a value is longer than the store's limit of 1000 bytes");
    s.transactions->rollback();
  }
  sql::Stores fresh = open();
  ASSERT_TRUE(fresh.transactions->begin(store::Access::kRead).ok());
  EXPECT_FALSE(fresh.tasks->get("t")->has_value());
  EXPECT_FALSE(fresh.skills->get("k")->has_value());
  EXPECT_FALSE(fresh.profiles->get("p")->has_value());
  fresh.transactions->rollback();
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
