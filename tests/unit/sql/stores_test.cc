// The repository contract on every store: in memory, on a SQLite file and on
// PostgreSQL (the server the environment names in DOVEK_TEST_POSTGRES_URL;
// with_postgres.py starts one for `meson test`). What two connections to one
// database see of each other; the same calls on the in-memory store, where
// every "connection" is the one store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "postgres/database.h"
#include "postgres/url.h"
#include "sql/stores.h"
#include "sqlite/database.h"
#include "store/memory_store.h"

namespace dovek::sql {
namespace {

namespace fs = std::filesystem;
using chat::Role;

// The in-memory store's transactions: there are none to make.
class NoTransactions final : public store::Transactions {
 public:
  Status begin(store::Access) override { return ok_status(); }
  Status commit() override { return ok_status(); }
  void rollback() noexcept override {}
};

Stores memory_stores() {
  Stores s;
  s.skills = store::MemoryStore<skill::Skill>::shared();
  s.sessions = store::MemoryStore<chat::Session, chat::SessionRepository>::shared();
  s.tasks = store::MemoryStore<run::Task>::shared();
  s.runs = store::MemoryStore<run::Run>::shared();
  s.profiles = store::MemoryStore<auth::Profile>::shared();
  s.model = store::MemoryStore<model::Model>::shared();
  s.transactions = std::make_shared<NoTransactions>();
  return s;
}

// The repositories on a connection just opened.
template <class D>
Result<Stores> opened(Result<std::shared_ptr<D>> db) {
  if (!db.ok()) return std::move(db).error();
  return make_stores(std::move(db).value());
}

enum class Kind { Memory, Sqlite, Postgres };

std::string test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? std::tolower(c) : '_';
  return name;
}

class Store : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    if (GetParam() == Kind::Postgres) {
      const char* url = std::getenv("DOVEK_TEST_POSTGRES_URL");
      if (url == nullptr || *url == '\0') {
        if (const char* r = std::getenv("DOVEK_REQUIRE_POSTGRES"); r && std::string(r) == "1") {
          FAIL() << "DOVEK_TEST_POSTGRES_URL is not set (tests/unit/sql/with_postgres.py sets it)";
        }
        GTEST_SKIP() << "no PostgreSQL server: DOVEK_TEST_POSTGRES_URL is not set";
      }
      // A schema of this test's own (of this process: the suite may run twice at once).
      url_ = std::string(url) + "&schema=u" + std::to_string(::getpid()) + "_" +
             test_name().substr(0, 40);
    }
    if (GetParam() == Kind::Sqlite) {
      dir_ = fs::temp_directory_path() /
             ("dovek-sql-" + std::to_string(::getpid()) + "-" + test_name());
      fs::remove_all(dir_);
      fs::create_directories(dir_);
    }
    if (GetParam() == Kind::Memory) memory_ = memory_stores();
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // A new connection to the test's database (the one store in memory).
  Stores open() {
    Result<Stores> stores = Error("none");
    switch (GetParam()) {
      case Kind::Memory: return memory_;
      case Kind::Sqlite:
        stores = opened(sqlite::Database::open(sqlite::Options{(dir_ / "t.db").string()}));
        break;
      case Kind::Postgres: {
        Result<postgres::Options> options = postgres::parse_url(url_);
        EXPECT_TRUE(options.ok());
        stores = opened(postgres::Database::open(std::move(options).value()));
        break;
      }
    }
    EXPECT_TRUE(stores.ok()) << (stores.ok() ? "" : stores.error().chain());
    return std::move(stores).value();
  }

  bool durable() const { return GetParam() != Kind::Memory; }

  // Runs `f` in a write transaction of `s` and commits.
  template <class F>
  static void write(Stores& s, F&& f) {
    ASSERT_TRUE(s.transactions->begin(store::Access::kWrite).ok());
    f();
    ASSERT_TRUE(s.transactions->commit().ok());
  }

  fs::path dir_;
  std::string url_;
  Stores memory_;
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

TEST_P(Store, RepositoryContractOnSkills) {
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
  if (!durable()) return;
  // A rolled-back write leaves neither the database nor the cache changed.
  ASSERT_TRUE(s.transactions->begin(store::Access::kWrite).ok());
  ASSERT_TRUE(skills.put("z", make_skill("z", "1")).ok());
  EXPECT_EQ(contents(skills).size(), 2u);
  s.transactions->rollback();
  write(s, [&] { EXPECT_EQ(contents(skills), std::vector<std::string>{"k=2"}); });
}

TEST_P(Store, ACatalogCatchesUpWithAnotherConnection) {
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
  write(b, [&] { ASSERT_TRUE(b.skills->replace_all({{"z", make_skill("z", "1")}}).ok()); });
  write(a, [&] { EXPECT_EQ(contents(*a.skills), std::vector<std::string>{"z=1"}); });
}

std::vector<chat::Message> history(Stores& s, const std::string& key) {
  std::vector<chat::Message> out;
  EXPECT_TRUE(s.transactions->begin(store::Access::kRead).ok());
  std::optional<chat::Session> found = *s.sessions->get(key);
  if (found) out = found->messages.to_vector();
  s.transactions->rollback();
  return out;
}

TEST_P(Store, SessionsAppendRewriteAndShareBetweenConnections) {
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
    EXPECT_FALSE(*a.sessions->remove("s"));
  });
  EXPECT_TRUE(history(b, "s").empty());
  // replace_all: of repeated keys the last wins, and the others are gone.
  write(a, [&] { ASSERT_TRUE(chat::append_message(*a.sessions, "old", {"x", Role::kUser}).ok()); });
  write(b, [&] {
    chat::Session one = chat::Session::create("n"), two = chat::Session::create("n");
    one.push({"1", Role::kUser});
    two.push({"2", Role::kUser});
    ASSERT_TRUE(b.sessions->replace_all({{"n", one}, {"n", two}}).ok());
  });
  EXPECT_TRUE(history(a, "old").empty());
  EXPECT_EQ(history(a, "n"), (std::vector<chat::Message>{{"2", Role::kUser}}));
}

// Every field of every record kind reads back equal on a fresh connection
// (the rows, not a cache), and the one-row tables keep the contract.
TEST_P(Store, EveryFieldReadsBackAndTablesKeepTheContract) {
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
  session.push({"m", Role::kAssistant});

  Stores s = open();
  write(s, [&] {
    ASSERT_TRUE(s.tasks->put("k", task).ok());
    ASSERT_TRUE(s.runs->put("k", run).ok());
    ASSERT_TRUE(s.profiles->put("k", profile).ok());
    ASSERT_TRUE(s.model->put("selected", model).ok());
    ASSERT_TRUE(s.skills->put("k", skill).ok());
    ASSERT_TRUE(s.sessions->put("k", session).ok());
  });
  Stores fresh = open();
  ASSERT_TRUE(fresh.transactions->begin(store::Access::kRead).ok());
  EXPECT_EQ(fresh.tasks->get("k")->value(), task);
  EXPECT_EQ(fresh.runs->get("k")->value(), run);
  EXPECT_EQ(fresh.profiles->get("k")->value(), profile);
  EXPECT_EQ(fresh.model->get("selected")->value(), model);
  EXPECT_EQ(fresh.skills->get("k")->value(), skill);
  EXPECT_EQ(fresh.sessions->get("k")->value(), session);
  fresh.transactions->rollback();

  // A model switched and read back in one transaction reads the switch.
  write(fresh, [&] {
    const model::Model other = model::Model::create("p2", "m2");
    ASSERT_TRUE(fresh.model->put("selected", other).ok());
    EXPECT_EQ(fresh.model->get("selected")->value(), other);
  });
  auto& runs = *s.runs;
  write(s, [&] {
    run::Run a = run, b = run;
    a.id = "a";
    b.id = "b";
    ASSERT_TRUE(runs.put("b", b).ok());
    ASSERT_TRUE(runs.put("a", a).ok());
    Result<store::Repository<run::Run>::List> list = runs.list();
    ASSERT_TRUE(list.ok());
    std::vector<std::string> ids;
    for (const run::Run& r : *list) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "r.id"}));
    EXPECT_TRUE(*runs.remove("a"));
    EXPECT_FALSE(*runs.remove("a"));
    EXPECT_FALSE(runs.get("a")->has_value());
    ASSERT_TRUE(runs.replace_all({{"x", a}, {"x", b}}).ok());
    EXPECT_EQ(runs.get("x")->value().id, "b");
    EXPECT_FALSE(*runs.exists("k"));
  });
}

INSTANTIATE_TEST_SUITE_P(AllStores, Store,
                         ::testing::Values(Kind::Memory, Kind::Sqlite, Kind::Postgres),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::Memory   ? std::string("memory")
                                  : info.param == Kind::Sqlite ? std::string("sqlite")
                                                               : std::string("postgres");
                         });

}  // namespace
}  // namespace dovek::sql
