#include "sqlite/url.h"

#include <string>

#include "sql/url_options.h"

namespace dovek::sqlite {
namespace {

using sql::bad_url;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Result<std::string> decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int hi = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
    const int lo = hi >= 0 ? hex_digit(text[i + 2]) : -1;
    if (lo < 0) return bad_url("malformed %-escape");
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return bad_url("the path holds a NUL byte");
  return out;
}

Status apply_option(std::string_view name, std::string_view value, Options& options) {
  if (name == "synchronous") {
    if (value == "normal") options.synchronous_full = false;
    else if (value == "full") options.synchronous_full = true;
    else return bad_url("synchronous must be normal or full");
    return ok_status();
  }
  if (name == "busy_timeout_ms") {
    DOVEK_ASSIGN_OR_RETURN(options.busy_timeout_ms, sql::milliseconds(name, value));
    return ok_status();
  }
  return bad_url("unknown option `" + std::string(name) + "`");
}

}  // namespace

Result<Options> parse_url(std::string_view url) {
  constexpr std::string_view kPrefix = "sqlite:///";
  if (url.substr(0, kPrefix.size()) != kPrefix) return bad_url("expected sqlite:///PATH");
  url.remove_prefix(kPrefix.size());
  const size_t query = url.find('?');
  Options options;
  DOVEK_ASSIGN_OR_RETURN(options.path, decode(url.substr(0, query)));
  if (options.path.empty()) return bad_url("the path is empty");
  if (query == std::string_view::npos) return options;
  DOVEK_TRY(sql::for_each_option(url.substr(query + 1),
                                 [&](std::string_view name, std::string_view value) {
                                   return apply_option(name, value, options);
                                 }));
  return options;
}

}  // namespace dovek::sqlite
