#include "postgres/libpq.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace dovek::postgres {
namespace {

struct Loaded {
  Libpq api{};
  std::string error;  // empty when loaded
};

template <class F>
bool resolve(void* lib, const char* name, F& slot, std::string& error) {
  slot = reinterpret_cast<F>(::dlsym(lib, name));
  if (slot == nullptr && error.empty()) {
    error = std::string("libpq lacks ") + name + " (PostgreSQL 14 or newer is needed)";
  }
  return slot != nullptr;
}

Loaded load() {
  Loaded out;
  const char* path = std::getenv("DOVEK_LIBPQ");
  if (path == nullptr || *path == '\0') path = "libpq.so.5";
  void* lib = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = ::dlerror();
    out.error = std::string("PostgreSQL's client library could not be loaded (") +
                (why != nullptr ? why : path) +
                "); install it, e.g. `apt-get install libpq5`, or set DOVEK_LIBPQ to its path";
    return out;
  }
  Libpq& a = out.api;
  std::string& e = out.error;
  resolve(lib, "PQconnectdb", a.connectdb, e);
  resolve(lib, "PQstatus", a.status, e);
  resolve(lib, "PQerrorMessage", a.error_message, e);
  resolve(lib, "PQfinish", a.finish, e);
  resolve(lib, "PQsocket", a.socket, e);
  resolve(lib, "PQexec", a.exec, e);
  resolve(lib, "PQenterPipelineMode", a.enter_pipeline_mode, e);
  resolve(lib, "PQpipelineSync", a.pipeline_sync, e);
  resolve(lib, "PQsendPrepare", a.send_prepare, e);
  resolve(lib, "PQsendQueryPrepared", a.send_query_prepared, e);
  resolve(lib, "PQsendQueryParams", a.send_query_params, e);
  resolve(lib, "PQgetResult", a.get_result, e);
  resolve(lib, "PQresultStatus", a.result_status, e);
  resolve(lib, "PQresultErrorField", a.result_error_field, e);
  resolve(lib, "PQresultErrorMessage", a.result_error_message, e);
  resolve(lib, "PQclear", a.clear, e);
  resolve(lib, "PQntuples", a.ntuples, e);
  resolve(lib, "PQgetvalue", a.getvalue, e);
  resolve(lib, "PQgetlength", a.getlength, e);
  resolve(lib, "PQgetisnull", a.getisnull, e);
  resolve(lib, "PQcmdTuples", a.cmd_tuples, e);
  resolve(lib, "PQtransactionStatus", a.transaction_status, e);
  resolve(lib, "PQsetNoticeProcessor", a.set_notice_processor, e);
  // Never unloaded: connections may outlive any one store.
  return out;
}

}  // namespace

Result<const Libpq*> libpq() {
  static std::once_flag once;
  static Loaded* loaded = nullptr;  // leaked: used until the process ends
  std::call_once(once, [] { loaded = new Loaded(load()); });
  if (!loaded->error.empty()) return Error(loaded->error);
  return &loaded->api;
}

}  // namespace dovek::postgres
