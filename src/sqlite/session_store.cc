// Sessions: a row per session and a row per message. A chat turn appends its
// messages as rows and never rewrites the session, and the sessions a
// process works on are cached, so turn 10,000 of a session costs what turn 10
// does.
//
// get() reads the session's row and its message count in one indexed query.
// When the cache holds the session at the same `gen` it is current, or short
// of messages another connection appended, which are read alone. put() of a
// session that get() handed out in this same transaction, with messages
// pushed after it, inserts just those messages; any other put rewrites the
// session under a new `gen`.
#include <string>
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "sqlite/statements.h"
#include "sqlite/stores.h"
#include "store/row_cache.h"

namespace dovek::sqlite {
namespace {

// Sessions kept in the cache; past it the cache starts over. Each holds its
// history (packed, see chat::MessageList).
constexpr size_t kCachedSessions = 256;

using record_fields::role_number;
using record_fields::same_attributes;

// The statements that name a session's columns, built once.
struct SessionStatements {
  const sql::Names columns = record_fields::kSessions.columns;
  // The row and the session's highest message number.
  const std::string select = "SELECT gen, " + sql::names(columns) +
                             ", (SELECT max(seq) FROM messages WHERE session = ?1) FROM sessions "
                             "WHERE key = ?1";
  const std::string write = sql::put("sessions", sql::led_by("gen", columns));
};

// The column of `select` that holds the highest message number: after gen
// and the session's columns.
constexpr int kLastSeq = 1 + static_cast<int>(record_fields::kSessions.columns.size());

const SessionStatements& statements() {
  static const SessionStatements s;
  return s;
}

class SessionStore final : public store::Repository<chat::Session> {
 public:
  explicit SessionStore(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  Result<std::optional<chat::Session>> get(std::string_view key) const override {
    DOVEK_ASSIGN_OR_RETURN(Entry * entry, current(key));
    if (!entry->exists) return std::optional<chat::Session>();
    return std::optional<chat::Session>(entry->record);
  }

  Result<List> list() const override {
    std::vector<std::string> keys;
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare("SELECT key FROM sessions ORDER BY key"));
      for (;;) {
        DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
        if (!row) break;
        keys.emplace_back(s.text(0));
      }
    }
    std::vector<std::pair<std::string, chat::Session>> pairs;
    for (std::string& key : keys) {
      DOVEK_ASSIGN_OR_RETURN(std::optional<chat::Session> session, get(key));
      if (session) pairs.emplace_back(std::move(key), std::move(*session));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, chat::Session record) override {
    Entry* entry = known(key);
    if (entry != nullptr && entry->exists && same_attributes(entry->record, record)) {
      if (auto pushed = record.messages.pushed_since(entry->record.messages)) {
        DOVEK_TRY(insert_messages(key, entry->record.messages.size(), *pushed));
        entry->record = std::move(record);
        return ok_status();
      }
    }
    // Anything but an append: the session is written anew under a new gen.
    DOVEK_ASSIGN_OR_RETURN(int64_t gen, next_gen());
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().write.c_str()));
      s.bind(1, key).bind(2, gen);
      Binder columns(s, 3);
      record_fields::write_attributes(columns, record);
      DOVEK_TRY(s.run());
    }
    if (entry == nullptr || entry->exists) DOVEK_TRY(delete_messages(key));
    DOVEK_TRY(insert_messages(key, 0, record.messages.to_vector()));
    Entry& cached = slot(key);
    cached = Entry{true, gen, std::move(record), db_->transaction_serial(), db_->rollback_epoch()};
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    int64_t removed = 0;
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare("DELETE FROM sessions WHERE key = ?1"));
      s.bind(1, key);
      DOVEK_TRY(s.run());
      removed = db_->changes();
    }
    DOVEK_TRY(delete_messages(key));
    slot(key) = Entry{false, 0, {}, db_->transaction_serial(), db_->rollback_epoch()};
    return removed > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, chat::Session>> pairs) override {
    for (const char* sql : {"DELETE FROM sessions", "DELETE FROM messages"}) {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(sql));
      DOVEK_TRY(s.run());
    }
    cache_.clear();
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  using Cache = store::RowCache<chat::Session, kCachedSessions>;
  using Entry = Cache::Entry;

  // The entry for `key` when this transaction has seen it, else null.
  Entry* known(std::string_view key) const {
    return cache_.known(key, db_->transaction_serial(), db_->rollback_epoch());
  }
  Entry& slot(std::string_view key) const { return cache_.slot(key); }

  // The entry for `key` as the database holds it now, read as needed.
  Result<Entry*> current(std::string_view key) const {
    if (Entry* entry = known(key)) return entry;
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().select.c_str()));
    s.bind(1, key);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    Entry& entry = slot(key);
    const uint64_t epoch = db_->rollback_epoch();
    if (!row) {
      entry = Entry{false, 0, {}, db_->transaction_serial(), epoch};
      return &entry;
    }
    const int64_t gen = s.integer(0);
    const size_t count = s.is_null(kLastSeq) ? 0 : static_cast<size_t>(s.integer(kLastSeq)) + 1;
    const bool extends = entry.exists && entry.gen == gen && entry.epoch == epoch &&
                         entry.record.messages.size() <= count;
    if (!extends) entry.record = chat::Session::create(std::string(s.text(1)));
    chat::Session& session = entry.record;
    Columns columns(s, 1);
    record_fields::read_attributes(columns, session);
    entry.exists = true;
    entry.gen = gen;
    entry.epoch = epoch;
    entry.serial = 0;  // not current until its messages are read
    if (session.messages.size() < count) {
      DOVEK_ASSIGN_OR_RETURN(Stmt m, db_->prepare("SELECT role, content FROM messages WHERE "
                                                  "session = ?1 AND seq >= ?2 ORDER BY seq"));
      m.bind(1, key).bind(2, static_cast<int64_t>(session.messages.size()));
      for (;;) {
        DOVEK_ASSIGN_OR_RETURN(bool more, m.step());
        if (!more) break;
        session.push(chat::MessageView{m.text(1), record_fields::role_of(m.integer(0))});
      }
    }
    entry.serial = db_->transaction_serial();
    return &entry;
  }

  Status insert_messages(std::string_view key, size_t first,
                         const std::vector<chat::Message>& messages) {
    DOVEK_ASSIGN_OR_RETURN(Stmt s,
                           db_->prepare(
                               "INSERT INTO messages (session, seq, role, content) VALUES (?1, ?2, "
                               "?3, ?4)"));
    for (size_t i = 0; i < messages.size(); ++i) {
      s.bind(1, key).bind(2, static_cast<int64_t>(first + i));
      s.bind(3, role_number(messages[i].role)).bind(4, messages[i].content);
      DOVEK_TRY(s.run());
      s.reset();
    }
    return ok_status();
  }

  Status delete_messages(std::string_view key) {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare("DELETE FROM messages WHERE session = ?1"));
    s.bind(1, key);
    return s.run();
  }

  Result<int64_t> next_gen() {
    DOVEK_ASSIGN_OR_RETURN(Stmt s,
                           db_->prepare(
                               "UPDATE counters SET value = value + 1 WHERE name = 'sessions' "
                               "RETURNING value"));
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    return row ? s.integer(0) : int64_t{0};
  }

  std::shared_ptr<Database> db_;
  mutable Cache cache_;
};

}  // namespace

Handle<chat::Session> session_store(std::shared_ptr<Database> db) {
  return std::make_shared<SessionStore>(std::move(db));
}

}  // namespace dovek::sqlite
