#include "sqlite/url.h"

#include <charconv>
#include <string>

namespace dovek::sqlite {
namespace {

Error bad(std::string what) { return Error("bad store URL: " + what); }

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
    if (lo < 0) return bad("malformed %-escape");
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (out.find('\0') != std::string::npos) return bad("the path holds a NUL byte");
  return out;
}

Status apply_option(std::string_view name, std::string_view value, Options& options) {
  if (name == "synchronous") {
    if (value == "normal") options.synchronous_full = false;
    else if (value == "full") options.synchronous_full = true;
    else return bad("synchronous must be normal or full");
    return ok_status();
  }
  if (name == "busy_timeout_ms") {
    int64_t ms = -1;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec != std::errc() || end != value.data() + value.size() || ms < 0 ||
        ms > int64_t{24} * 3600 * 1000) {
      return bad("busy_timeout_ms must be a whole number of milliseconds up to a day");
    }
    options.busy_timeout_ms = ms;
    return ok_status();
  }
  return bad("unknown option `" + std::string(name) + "`");
}

}  // namespace

Result<Options> parse_url(std::string_view url) {
  constexpr std::string_view kPrefix = "sqlite:///";
  if (url.substr(0, kPrefix.size()) != kPrefix) return bad("expected sqlite:///PATH");
  url.remove_prefix(kPrefix.size());
  const size_t query = url.find('?');
  Options options;
  DOVEK_ASSIGN_OR_RETURN(options.path, decode(url.substr(0, query)));
  if (options.path.empty()) return bad("the path is empty");
  if (query == std::string_view::npos) return options;
  std::string_view rest = url.substr(query + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return bad("option `" + std::string(pair) + "` has no value");
    DOVEK_TRY(apply_option(pair.substr(0, eq), pair.substr(eq + 1), options));
  }
  return options;
}

}  // namespace dovek::sqlite
