#include "sql/url_options.h"

#include <charconv>

namespace dovek::sql {

Error bad_url(std::string what) { return Error("bad store URL: " + what); }

Status for_each_option(std::string_view query,
                       const std::function<Status(std::string_view, std::string_view)>& apply) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) {
      return bad_url("option `" + std::string(pair) + "` has no value");
    }
    DOVEK_TRY(apply(pair.substr(0, eq), pair.substr(eq + 1)));
  }
  return ok_status();
}

Result<int64_t> milliseconds(std::string_view name, std::string_view value) {
  int64_t ms = -1;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
  if (ec != std::errc() || end != value.data() + value.size() || ms < 0 ||
      ms > int64_t{24} * 3600 * 1000) {
    return bad_url(std::string(name) + " must be a whole number of milliseconds up to a day");
  }
  return ms;
}

}  // namespace dovek::sql
