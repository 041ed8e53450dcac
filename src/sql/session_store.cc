#include "sql/session_store.h"

namespace dovek::sql {

SessionStatements::SessionStatements(char mark, std::string upsert, std::string select_messages)
    : select("SELECT gen, " + names(kSessions.columns) + ", (SELECT max(seq) FROM messages WHERE " +
             "session = " + mark + "1) FROM sessions WHERE key = " + mark + "1"),
      write(std::move(upsert)),
      select_messages(std::move(select_messages)),
      select_page(std::string("SELECT role, content FROM messages WHERE session = ") + mark +
                  "1 AND seq < " + mark + "2 ORDER BY seq DESC LIMIT " + mark + "3"),
      insert_message("INSERT INTO messages (session, seq, role, content) VALUES (" +
                     params(mark, 1, 4) + ")"),
      delete_messages(std::string("DELETE FROM messages WHERE session = ") + mark + "1"),
      delete_session(std::string("DELETE FROM sessions WHERE key = ") + mark + "1") {}

}  // namespace dovek::sql
