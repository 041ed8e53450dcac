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
    ASSERT_TRUE(s.db->begin(store::Access::Write).ok());
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
  ASSERT_TRUE(s.db->begin(store::Access::Write).ok());
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
  EXPECT_TRUE(s.db->begin(store::Access::Read).ok());
  std::optional<chat::Session> found = *s.sessions->get(key);
  if (found) out = found->messages.to_vector();
  s.db->rollback();
  return out;
}

TEST_F(StoreFile, SessionsAppendRewriteAndShareBetweenConnections) {
  Stores a = open(), b = open();
  write(a, [&] {
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"u1", Role::User}).ok());
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"r1", Role::Assistant}).ok());
  });
  write(b, [&] { ASSERT_TRUE(chat::append_message(*b.sessions, "s", {"u2", Role::User}).ok()); });
  write(a,
        [&] { ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"r2", Role::Assistant}).ok()); });
  const std::vector<chat::Message> four = {{"u1", Role::User},
                                           {"r1", Role::Assistant},
                                           {"u2", Role::User},
                                           {"r2", Role::Assistant}};
  EXPECT_EQ(history(a, "s"), four);
  EXPECT_EQ(history(b, "s"), four);
  // A put that is not an append (a shorter session, changed attributes)
  // replaces the stored one; both connections see it.
  write(b, [&] {
    chat::Session short_one = chat::Session::create("s");
    short_one.title = "t";
    short_one.push({"only", Role::User});
    ASSERT_TRUE(b.sessions->put("s", short_one).ok());
  });
  EXPECT_EQ(history(a, "s"), (std::vector<chat::Message>{{"only", Role::User}}));
  write(a, [&] {
    ASSERT_TRUE(chat::append_message(*a.sessions, "s", {"more", Role::Assistant}).ok());
    EXPECT_EQ(a.sessions->get("s")->value().title, "t");
    ASSERT_TRUE(*a.sessions->remove("s"));
  });
  EXPECT_TRUE(history(b, "s").empty());
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
