// Sessions: a row per session and a row per message. A chat turn appends its
// messages as rows and never rewrites the session, and the sessions a
// process works on are cached, so turn 10,000 of a session costs what turn 10
// does.
//
// get() and every write lock the session's key (in a writer); get() reads its row with its
// message count and the messages past those cached, all in one round trip.
// When the cache holds the session at the same `gen` it is current once the
// new messages are added. put() of a session that get() handed out in this
// same transaction, with messages pushed after it, inserts just those
// messages; any other put rewrites the session under a new `gen`.
#include <unistd.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "postgres/statements.h"
#include "postgres/stores.h"
#include "store/row_cache.h"

namespace dovek::postgres {
namespace {

// Sessions kept in the cache; past it the cache starts over.
constexpr size_t kCachedSessions = 256;

// The upper bound makes the condition a range: a prepared statement's
// generic plan takes a range of unknown bounds to be a small part of the
// index and scans it, where `seq >= $2` alone is priced at a third of the
// session's rows, planned as a scan of the table once its statistics know a
// long session, and so planned anew at every execution instead.
constexpr const char* kSelectMessages =
    "SELECT role, content FROM messages WHERE session = $1 AND seq BETWEEN $2 AND "
    "9223372036854775807 ORDER BY seq";
constexpr const char* kInsertMessage =
    "INSERT INTO messages (session, seq, role, content) VALUES ($1, $2, $3, $4)";
constexpr const char* kDeleteMessages = "DELETE FROM messages WHERE session = $1";
constexpr const char* kDeleteSession = "DELETE FROM sessions WHERE key = $1";

// Statements queued before a round trip is forced while writing many
// messages: the pipeline's replies must not fill the socket unread.
constexpr size_t kBatch = 256;

using record_fields::role_number;
using record_fields::same_attributes;

// The statements that name a session's columns, built once.
struct SessionStatements {
  const sql::Names columns = record_fields::kSessions.columns;
  // The row and the session's highest message number.
  const std::string select = "SELECT gen, " + sql::names(columns) +
                             ", (SELECT max(seq) FROM messages WHERE session = $1) FROM sessions "
                             "WHERE key = $1";
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
      DOVEK_ASSIGN_OR_RETURN(Rows rows,
                             db_->fetch("SELECT key FROM sessions ORDER BY key", Params()));
      for (int i = 0; i < rows.size(); ++i) keys.emplace_back(rows.text(i, 0));
    }
    std::vector<std::pair<std::string, chat::Session>> pairs;
    for (std::string& key : keys) {
      DOVEK_ASSIGN_OR_RETURN(std::optional<chat::Session> session, get(key));
      if (session) pairs.emplace_back(std::move(key), std::move(*session));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, chat::Session record) override {
    db_->lock("sessions", key);
    Entry* entry = known(key);
    if (entry != nullptr && entry->exists && same_attributes(entry->record, record)) {
      if (auto pushed = record.messages.pushed_since(entry->record.messages)) {
        DOVEK_TRY(insert_messages(key, entry->record.messages.size(), *pushed));
        entry->record = std::move(record);
        return ok_status();
      }
    }
    // Anything but an append: the session is written anew under a new gen.
    const int64_t gen = next_gen();
    Params p;
    p.text(key).integer(gen);
    record_fields::write_attributes(p, record);
    db_->queue(statements().write.c_str(), std::move(p));
    if (entry == nullptr || entry->exists) db_->queue(kDeleteMessages, Params().text(key));
    DOVEK_TRY(insert_messages(key, 0, record.messages.to_vector()));
    Entry& cached = slot(key);
    cached = Entry{true, gen, std::move(record), db_->transaction_serial(), db_->rollback_epoch()};
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    db_->lock("sessions", key);
    db_->queue(kDeleteMessages, Params().text(key));
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(kDeleteSession, Params().text(key)));
    slot(key) = Entry{false, 0, {}, db_->transaction_serial(), db_->rollback_epoch()};
    return rows.affected() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, chat::Session>> pairs) override {
    db_->lock_store();
    db_->queue("DELETE FROM sessions", Params());
    db_->queue("DELETE FROM messages", Params());
    cache_.clear();
    for (auto& [key, record] : pairs) {
      // Known absent now: put writes without deleting first.
      slot(key) = Entry{false, 0, {}, db_->transaction_serial(), db_->rollback_epoch()};
      DOVEK_TRY(put(key, std::move(record)));
    }
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
    Entry& entry = slot(key);
    const uint64_t epoch = db_->rollback_epoch();
    const bool usable = entry.exists && entry.epoch == epoch;
    const int64_t from = usable ? static_cast<int64_t>(entry.record.messages.size()) : 0;
    db_->lock("sessions", key);
    Rows row;
    db_->queue(statements().select.c_str(), Params().text(key), [&row](const Rows& r) { row = r; });
    DOVEK_ASSIGN_OR_RETURN(Rows added,
                           db_->fetch(kSelectMessages, Params().text(key).integer(from)));
    if (row.size() == 0) {
      entry = Entry{false, 0, {}, db_->transaction_serial(), epoch};
      return &entry;
    }
    const int64_t gen = row.integer(0, 0);
    const int64_t count = row.is_null(0, kLastSeq) ? 0 : row.integer(0, kLastSeq) + 1;
    const bool extends = usable && entry.gen == gen && from + added.size() == count;
    if (!extends) {
      entry.exists = false;  // until read whole
      if (from != 0) {
        DOVEK_ASSIGN_OR_RETURN(added, db_->fetch(kSelectMessages, Params().text(key).integer(0)));
      }
      entry.record = chat::Session::create(std::string(row.text(0, 1)));
    }
    Columns columns(row, 0, 1);
    record_fields::read_attributes(columns, entry.record);
    for (int i = 0; i < added.size(); ++i) {
      entry.record.push(
          chat::MessageView{added.text(i, 1), record_fields::role_of(added.integer(i, 0))});
    }
    entry.exists = true;
    entry.gen = gen;
    entry.epoch = epoch;
    entry.serial = db_->transaction_serial();
    return &entry;
  }

  Status insert_messages(std::string_view key, size_t first,
                         const std::vector<chat::Message>& messages) {
    for (size_t i = 0; i < messages.size(); ++i) {
      db_->queue(kInsertMessage, Params()
                                     .text(key)
                                     .integer(static_cast<int64_t>(first + i))
                                     .integer(role_number(messages[i].role))
                                     .text(messages[i].content));
      if ((i + 1) % kBatch == 0) DOVEK_TRY(db_->fetch("SELECT 1", Params()));
    }
    return ok_status();
  }

  // A session's gen after a rewrite: a fresh random number, so that no two
  // writers (processes, hosts) ever hand out the same one.
  int64_t next_gen() {
    if (pid_ != ::getpid()) {
      std::random_device seed;
      rng_.seed((uint64_t{seed()} << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
      pid_ = ::getpid();
    }
    return static_cast<int64_t>(rng_() >> 1);
  }

  std::shared_ptr<Database> db_;
  mutable Cache cache_;
  std::mt19937_64 rng_;
  pid_t pid_ = 0;
};

}  // namespace

Handle<chat::Session> session_store(std::shared_ptr<Database> db) {
  return std::make_shared<SessionStore>(std::move(db));
}

}  // namespace dovek::postgres
