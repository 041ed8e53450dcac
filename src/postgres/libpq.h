// PostgreSQL's client library, loaded on first use of a postgresql:// store
// rather than linked: the module imports, and serves in-memory and SQLite
// cores, on a machine without it. The types come from libpq-fe.h; the calls
// go through a table of pointers resolved once from libpq.so.5 (or the file
// DOVEK_LIBPQ names).
#pragma once

#include <libpq-fe.h>

#include "base/error.h"

namespace dovek::postgres {

struct Libpq {
  decltype(&::PQconnectdb) connectdb;
  decltype(&::PQstatus) status;
  decltype(&::PQerrorMessage) error_message;
  decltype(&::PQfinish) finish;
  decltype(&::PQsocket) socket;
  decltype(&::PQexec) exec;
  decltype(&::PQenterPipelineMode) enter_pipeline_mode;
  decltype(&::PQpipelineSync) pipeline_sync;
  decltype(&::PQsendPrepare) send_prepare;
  decltype(&::PQsendQueryPrepared) send_query_prepared;
  decltype(&::PQsendQueryParams) send_query_params;
  decltype(&::PQgetResult) get_result;
  decltype(&::PQresultStatus) result_status;
  decltype(&::PQresultErrorField) result_error_field;
  decltype(&::PQresultErrorMessage) result_error_message;
  decltype(&::PQclear) clear;
  decltype(&::PQntuples) ntuples;
  decltype(&::PQgetvalue) getvalue;
  decltype(&::PQgetlength) getlength;
  decltype(&::PQgetisnull) getisnull;
  decltype(&::PQcmdTuples) cmd_tuples;
  decltype(&::PQtransactionStatus) transaction_status;
  decltype(&::PQsetNoticeProcessor) set_notice_processor;
};

// The library, loaded and resolved on the first call; later calls return the
// same table. Fails (every time) with a message that says what to install.
[[nodiscard]] Result<const Libpq*> libpq();

}  // namespace dovek::postgres
