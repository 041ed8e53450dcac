// Sessions: a row per session and a row per message. A chat turn appends its
// messages as rows and never rewrites the session, and the sessions a
// process works on are cached, so turn 10,000 of a session costs what turn 10
// does.
//
// get() and every write lock the session's key (in a writer, where the driver
// has such locks); get() then reads its row with its message count, and the messages past
// those the cache holds. A pipelined driver reads all of it in one round
// trip, the messages from where the cache ends, and reads them again from the
// start if the session turns out rewritten; one that runs statements at once
// reads the row first and then only the messages it lacks. When the cache
// holds the session at the same `gen` it is current once the new messages are
// added. put() of a session that get() handed out in this same transaction,
// with messages pushed after it, inserts just those messages; any other put
// rewrites the session under a new `gen` (the driver's next_gen()).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/driver.h"
#include "sql/record_fields.h"
#include "sql/row_cache.h"
#include "store/repository.h"

namespace dovek::sql {

// The statements of the sessions and messages tables, built once per
// dialect. `upsert` writes the row with `gen` leading the columns;
// `select_messages` reads role and content of a session's (parameter 1)
// messages from number parameter 2 on, in order.
struct SessionStatements {
  SessionStatements(char mark, std::string upsert, std::string select_messages);

  std::string select;  // gen, the columns, the highest message number
  std::string write;
  std::string select_messages;
  // The last (parameter 3) of a session's (1) messages below number 2,
  // newest first: an index range of the rows returned, however long the
  // history.
  std::string select_page;
  std::string insert_message;
  std::string delete_messages;
  std::string delete_session;
  static constexpr const char* kKeys = "SELECT key FROM sessions ORDER BY key";
  static constexpr const char* kClear = "DELETE FROM sessions";
  static constexpr const char* kClearMessages = "DELETE FROM messages";
  // The column of the highest message number in `select`'s row.
  static constexpr int kCountColumn = 1 + static_cast<int>(kSessions.columns.size());
};

template <Driver D>
class SessionStore final : public chat::SessionRepository {
 public:
  using Rows = typename D::Rows;

  explicit SessionStore(std::shared_ptr<D> db) : db_(std::move(db)) {}

  Result<std::optional<chat::Session>> get(std::string_view key) const override {
    DOVEK_ASSIGN_OR_RETURN(Entry * entry, current(key));
    if (!entry->exists) return std::optional<chat::Session>();
    return std::optional<chat::Session>(entry->record);
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> all, keys());
    std::vector<std::pair<std::string, chat::Session>> pairs;
    for (std::string& key : all) {
      DOVEK_ASSIGN_OR_RETURN(std::optional<chat::Session> session, get(key));
      if (session) pairs.emplace_back(std::move(key), std::move(*session));
    }
    return List::from_pairs(std::move(pairs));
  }

  // The session's row with its message count, and the page's rows alone,
  // in one round trip where the driver pipelines. The cache is neither used
  // nor filled: a page is not the session.
  Result<std::optional<chat::SessionPage>> page(std::string_view key,
                                                chat::PageRange range) const override {
    db_->lock("sessions", key);
    const auto below = static_cast<int64_t>(std::min<size_t>(range.before, INT64_MAX));
    const auto last = static_cast<int64_t>(std::min<size_t>(range.last, INT64_MAX));
    auto bind_page = [key, below, last](auto& p) { p.text(key).integer(below).integer(last); };
    std::optional<chat::SessionPage> out;
    if constexpr (D::kPipelined) {
      Rows row;
      DOVEK_TRY(db_->exec(statements().select.c_str(), by_key(key), [&row](Rows& r) { row = r; }));
      DOVEK_ASSIGN_OR_RETURN(Rows messages,
                             db_->fetch(statements().select_page.c_str(), bind_page));
      DOVEK_ASSIGN_OR_RETURN(out, page_row(row));
      if (out) DOVEK_TRY(add_page(messages, range, *out));
    } else {
      DOVEK_ASSIGN_OR_RETURN(Rows row, db_->fetch(statements().select.c_str(), by_key(key)));
      DOVEK_ASSIGN_OR_RETURN(out, page_row(row));
      if (!out) return out;
      DOVEK_ASSIGN_OR_RETURN(Rows messages,
                             db_->fetch(statements().select_page.c_str(), bind_page));
      DOVEK_TRY(add_page(messages, range, *out));
    }
    return out;
  }

  // The keys alone, from the sessions' table (no message is read).
  Result<std::vector<std::string>> keys() const override {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(SessionStatements::kKeys, kNoParams));
    return key_column(rows);
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
    DOVEK_ASSIGN_OR_RETURN(int64_t gen, db_->next_gen());
    DOVEK_TRY(db_->exec(statements().write.c_str(), [&](auto& p) {
      p.text(key).integer(gen);
      write_attributes(p, record);
    }));
    if (entry == nullptr || entry->exists) {
      DOVEK_TRY(db_->exec(statements().delete_messages.c_str(), by_key(key)));
    }
    DOVEK_TRY(insert_messages(key, 0, record.messages.to_vector()));
    Entry& cached = slot(key);
    cached = Entry{true, gen, std::move(record), db_->transaction_serial(), db_->rollback_epoch()};
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    db_->lock("sessions", key);
    DOVEK_TRY(db_->exec(statements().delete_messages.c_str(), by_key(key)));
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().delete_session.c_str(), by_key(key)));
    slot(key) = Entry{false, 0, {}, db_->transaction_serial(), db_->rollback_epoch()};
    return rows.affected() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, chat::Session>> pairs) override {
    db_->lock_store();
    DOVEK_TRY(db_->exec(SessionStatements::kClear, kNoParams));
    DOVEK_TRY(db_->exec(SessionStatements::kClearMessages, kNoParams));
    cache_.clear();
    for (auto& [key, record] : pairs) {
      // Known absent now, unless an earlier pair wrote it: put writes
      // without deleting first.
      if (known(key) == nullptr) {
        slot(key) = Entry{false, 0, {}, db_->transaction_serial(), db_->rollback_epoch()};
      }
      DOVEK_TRY(put(key, std::move(record)));
    }
    return ok_status();
  }

 private:
  // Sessions kept in the cache; past it the cache starts over. Each holds
  // its history (packed, see chat::MessageList).
  static constexpr size_t kCachedSessions = 256;
  using Cache = RowCache<chat::Session, kCachedSessions>;
  using Entry = Cache::Entry;
  static constexpr int kCount = SessionStatements::kCountColumn;

  static const SessionStatements& statements() {
    static const SessionStatements s(D::Dialect::kMark,
                                     D::Dialect::upsert("sessions",
                                                        led_by("gen", kSessions.columns)),
                                     D::Dialect::kSelectMessages);
    return s;
  }

  static auto by_key(std::string_view key) {
    return [key](auto& p) { p.text(key); };
  }

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
    const size_t cached = usable ? entry.record.messages.size() : 0;
    db_->lock("sessions", key);
    if constexpr (D::kPipelined) {
      // The row and the messages past the cached ones in one round trip;
      // all of them again when the session was rewritten since.
      Rows row;
      DOVEK_TRY(db_->exec(statements().select.c_str(), by_key(key), [&row](Rows& r) { row = r; }));
      DOVEK_ASSIGN_OR_RETURN(Rows added, messages_from(key, cached));
      DOVEK_ASSIGN_OR_RETURN(bool found, row.next());
      if (!found) return absent(entry, epoch);
      const bool extends = usable && entry.gen == row.integer(0) &&
                           static_cast<int64_t>(cached) + added.size() == count(row);
      if (!extends) {
        entry.exists = false;  // until read whole
        if (cached != 0) {
          DOVEK_ASSIGN_OR_RETURN(added, messages_from(key, 0));
        }
      }
      return fill(key, entry, row, extends, epoch, &added);
    } else {
      // The row first, then only the messages the cache lacks.
      DOVEK_ASSIGN_OR_RETURN(Rows row, db_->fetch(statements().select.c_str(), by_key(key)));
      DOVEK_ASSIGN_OR_RETURN(bool found, row.next());
      if (!found) return absent(entry, epoch);
      const bool extends =
          usable && entry.gen == row.integer(0) && static_cast<int64_t>(cached) <= count(row);
      return fill(key, entry, row, extends, epoch, nullptr);
    }
  }

  static int64_t count(const Rows& row) {
    return row.is_null(kCount) ? 0 : row.integer(kCount) + 1;
  }

  Entry* absent(Entry& entry, uint64_t epoch) const {
    entry = Entry{false, 0, {}, db_->transaction_serial(), epoch};
    return &entry;
  }

  // Brings `entry` to the session of `row`: its attributes, and the messages
  // `added` (or, when null, the ones it lacks, read now) after those it keeps
  // when `extends`.
  Result<Entry*> fill(std::string_view key, Entry& entry, const Rows& row, bool extends,
                      uint64_t epoch, Rows* added) const {
    if (!extends) entry.record = chat::Session::create(std::string(row.text(1)));
    chat::Session& session = entry.record;
    Columns<Rows> columns(row, 1);
    read_attributes(columns, session);
    entry.exists = true;
    entry.gen = row.integer(0);
    entry.epoch = epoch;
    entry.serial = 0;  // not current until its messages are read
    if (added != nullptr) {
      DOVEK_TRY(push_all(*added, session));
    } else if (static_cast<int64_t>(session.messages.size()) < count(row)) {
      DOVEK_ASSIGN_OR_RETURN(Rows rest, messages_from(key, session.messages.size()));
      DOVEK_TRY(push_all(rest, session));
    }
    entry.serial = db_->transaction_serial();
    return &entry;
  }

  // A page with the session of `row` (when there is one) and its message
  // count, no messages yet.
  static Result<std::optional<chat::SessionPage>> page_row(Rows& row) {
    DOVEK_ASSIGN_OR_RETURN(bool found, row.next());
    if (!found) return std::optional<chat::SessionPage>();
    chat::SessionPage out;
    out.session = chat::Session::create(std::string(row.text(1)));
    Columns<Rows> columns(row, 1);
    read_attributes(columns, out.session);
    out.total = static_cast<size_t>(count(row));
    return std::optional<chat::SessionPage>(std::move(out));
  }

  // Adds the page's messages, read newest first, to `page` oldest first.
  static Status add_page(Rows& rows, chat::PageRange range, chat::SessionPage& page) {
    std::vector<chat::Message> newest_first;
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool more, rows.next());
      if (!more) break;
      newest_first.push_back(chat::Message{std::string(rows.text(1)), role_of(rows.integer(0))});
    }
    page.first = range.within(page.total).second - newest_first.size();
    for (auto it = newest_first.rbegin(); it != newest_first.rend(); ++it) page.session.push(*it);
    return ok_status();
  }

  Result<Rows> messages_from(std::string_view key, size_t first) const {
    return db_->fetch(statements().select_messages.c_str(),
                      [key, first](auto& p) { p.text(key).integer(static_cast<int64_t>(first)); });
  }

  static Status push_all(Rows& rows, chat::Session& session) {
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool more, rows.next());
      if (!more) return ok_status();
      session.push(chat::MessageView{rows.text(1), role_of(rows.integer(0))});
    }
  }

  Status insert_messages(std::string_view key, size_t first,
                         const std::vector<chat::Message>& messages) {
    for (size_t i = 0; i < messages.size(); ++i) {
      DOVEK_TRY(db_->exec(statements().insert_message.c_str(), [&](auto& p) {
        p.text(key).integer(static_cast<int64_t>(first + i));
        p.integer(role_number(messages[i].role)).text(messages[i].content);
      }));
      DOVEK_TRY(db_->pace(i + 1));
    }
    return ok_status();
  }

  std::shared_ptr<D> db_;
  mutable Cache cache_;
};

}  // namespace dovek::sql
