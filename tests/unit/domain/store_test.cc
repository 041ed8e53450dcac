#include "store/memory_store.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "domain/chat.h"

namespace dovek::store {
namespace {

using Store = std::shared_ptr<Repository<std::string>>;

std::vector<std::string> listed(const Store& store) {
  auto list = store->list();
  EXPECT_TRUE(list.ok());
  return **list;
}

TEST(MemoryStore, ListsInBytewiseKeyOrder) {
  Store store = MemoryStore<std::string>::shared();
  for (std::string key : {"b", "a", "ab", "B", "", "\xc3\xa9", "~"}) {
    ASSERT_TRUE(store->put(key, "r" + key).ok());
  }
  // Unsigned bytes: "" < "B" < "a" < "ab" < "b" < "~" (0x7e) < "é" (0xc3 0xa9).
  EXPECT_EQ(listed(store),
            (std::vector<std::string>{"r", "rB", "ra", "rab", "rb", "r~", "r\xc3\xa9"}));
}

TEST(MemoryStore, PutReplacesUnderTheSameKey) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("a", "r1").ok());
  ASSERT_TRUE(store->put("a", "r2").ok());
  EXPECT_EQ(listed(store), std::vector<std::string>{"r2"});
  EXPECT_EQ(store->get("a")->value(), "r2");
}

TEST(MemoryStore, GetIsExactAndEmptyKeyIsAKey) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("Writer", "w").ok());
  ASSERT_TRUE(store->put("", "empty").ok());
  EXPECT_FALSE(store->get("writer")->has_value());
  EXPECT_FALSE(store->get("Writer ")->has_value());
  EXPECT_EQ(store->get("")->value(), "empty");
  EXPECT_EQ(listed(store), (std::vector<std::string>{"empty", "w"}));
}

TEST(MemoryStore, RemoveAndExists) {
  Store store = MemoryStore<std::string>::shared();
  EXPECT_FALSE(*store->remove("x"));
  EXPECT_FALSE(*store->exists("x"));
  ASSERT_TRUE(store->put("x", "r").ok());
  EXPECT_TRUE(*store->exists("x"));
  EXPECT_TRUE(*store->remove("x"));
  EXPECT_FALSE(*store->exists("x"));
  EXPECT_FALSE(*store->remove("x"));
  EXPECT_TRUE(listed(store).empty());
}

TEST(MemoryStore, ReplaceAllDropsEverythingAndLastPairWins) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("old", "o").ok());
  std::vector<std::pair<std::string, std::string>> pairs{{"k", "r1"}, {"j", "q"}, {"k", "r2"}};
  ASSERT_TRUE(store->replace_all(std::move(pairs)).ok());
  EXPECT_FALSE(*store->exists("old"));
  EXPECT_EQ(listed(store), (std::vector<std::string>{"q", "r2"}));
  ASSERT_TRUE(store->replace_all({}).ok());
  EXPECT_TRUE(listed(store).empty());
}

TEST(MemoryStore, ListSnapshotIsSharedUntilTheNextWrite) {
  Store store = MemoryStore<std::string>::shared();
  ASSERT_TRUE(store->put("a", "1").ok());
  auto first = *store->list();
  auto again = *store->list();
  EXPECT_EQ(first.get(), again.get());  // no copy while nothing changed

  ASSERT_TRUE(store->put("b", "2").ok());
  auto after_put = *store->list();
  EXPECT_EQ(*first, std::vector<std::string>{"1"});  // old snapshot unchanged
  EXPECT_EQ(*after_put, (std::vector<std::string>{"1", "2"}));

  ASSERT_TRUE(store->remove("a").ok());
  EXPECT_EQ(**store->list(), std::vector<std::string>{"2"});
  ASSERT_TRUE(store->replace_all({{"z", "9"}}).ok());
  EXPECT_EQ(**store->list(), std::vector<std::string>{"9"});
}

// Records are values: a copy changed by its holder changes neither the stored
// record nor another holder's copy, also for the structurally shared ones.
TEST(MemoryStore, CopiesAreIsolated) {
  auto sessions = MemoryStore<chat::Session>::shared();
  chat::Session s = chat::Session::create("s1");
  s.push({"hello", chat::Role::User});
  ASSERT_TRUE(sessions->put("s1", s).ok());

  chat::Session a = sessions->get("s1")->value();
  chat::Session b = sessions->get("s1")->value();
  a.push({"from a", chat::Role::Assistant});
  a.title = "changed";
  b.push({"from b", chat::Role::User});

  chat::Session stored = sessions->get("s1")->value();
  EXPECT_EQ(stored.messages.size(), 1u);
  EXPECT_FALSE(stored.title.has_value());
  EXPECT_EQ(a.messages.to_vector(),
            (std::vector<chat::Message>{{"hello", chat::Role::User},
                                        {"from a", chat::Role::Assistant}}));
  EXPECT_EQ(b.messages.to_vector(), (std::vector<chat::Message>{{"hello", chat::Role::User},
                                                                {"from b", chat::Role::User}}));

  auto skills = MemoryStore<skill::Skill>::shared();
  skill::SkillFields f;
  f.id = "w";
  f.content = "original";
  ASSERT_TRUE(skills->put("w", skill::Skill(f)).ok());
  skill::Skill got = skills->get("w")->value();
  auto listing = *skills->list();
  got.edit().content = "edited";
  got.edit().suggested_tools.push_back("t");
  EXPECT_EQ(skills->get("w")->value().content(), "original");
  EXPECT_EQ(listing->front().content(), "original");
  EXPECT_EQ(got.content(), "edited");
}

// A record type whose move can be made to throw, standing in for running out
// of memory while the store copies a record under its write lock.
struct Fragile {
  static inline bool fail = false;
  int value = 0;
  Fragile() = default;
  explicit Fragile(int v) : value(v) {}
  Fragile(const Fragile& o) : value(o.value) {
    if (fail) throw std::bad_alloc();
  }
  Fragile(Fragile&& o) : value(o.value) {
    if (fail) throw std::bad_alloc();
  }
  Fragile& operator=(const Fragile& o) = default;
  Fragile& operator=(Fragile&& o) {
    if (fail) throw std::bad_alloc();
    value = o.value;
    return *this;
  }
};

TEST(MemoryStore, FailureUnderTheWriteLockPoisonsTheStore) {
  MemoryStore<Fragile> store;
  ASSERT_TRUE(store.put("a", Fragile(1)).ok());
  // The argument is built in place (no move); the store's own move into the
  // map throws.
  Fragile::fail = true;
  EXPECT_THROW((void)store.put("a", Fragile(2)), std::bad_alloc);
  Fragile::fail = false;

  auto expect_fault = [](auto&& operation) {
    try {
      operation();
      ADD_FAILURE() << "expected an internal fault";
    } catch (const InternalFault& fault) {
      EXPECT_STREQ(fault.what(), "memory store lock");
    }
  };
  expect_fault([&] { (void)store.get("a"); });
  expect_fault([&] { (void)store.list(); });
  expect_fault([&] { (void)store.put("b", Fragile(3)); });
  expect_fault([&] { (void)store.remove("a"); });
  expect_fault([&] { (void)store.replace_all({}); });
  expect_fault([&] { (void)store.exists("a"); });
}

TEST(MemoryStore, FailureWhileReadingDoesNotPoison) {
  MemoryStore<Fragile> store;
  ASSERT_TRUE(store.put("a", Fragile(1)).ok());
  Fragile::fail = true;
  EXPECT_THROW((void)store.get("a"), std::bad_alloc);
  Fragile::fail = false;
  EXPECT_EQ(store.get("a")->value().value, 1);
}

TEST(MemoryStore, ConcurrentReadersAndWritersSeeWholeStates) {
  // replace_all swaps between two complete states; a reader must never see
  // a mixture or a partial list.
  Store store = MemoryStore<std::string>::shared();
  std::vector<std::pair<std::string, std::string>> one, two;
  for (int i = 0; i < 50; ++i) {
    // (Appending rather than "k" + to_string: g++ 12 warns falsely there.)
    std::string key = "k";
    key += std::to_string(i);
    one.emplace_back(key, "one");
    two.emplace_back(key, "two");
  }
  ASSERT_TRUE(store->replace_all(one).ok());
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(store->replace_all(i % 2 ? one : two).ok());
  });
  auto read = [&] {
    for (int i = 0; i < 200; ++i) {
      auto list = *store->list();  // two readers may build the cached list at once
      ASSERT_EQ(list->size(), 50u);
      for (const std::string& r : *list) ASSERT_EQ(r, list->front());
    }
  };
  std::thread other_reader(read);
  read();
  other_reader.join();
  writer.join();
}

}  // namespace
}  // namespace dovek::store
