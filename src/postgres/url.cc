#include "postgres/url.h"

#include "sql/url_options.h"

namespace dovek::postgres {
namespace {

using sql::milliseconds;

Error bad(std::string what) { return sql::bad_url(std::move(what)); }

bool plain_identifier(std::string_view s) {
  if (s.empty() || s.size() > 63) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool letter = (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

void mask_all(std::string& text, std::string_view secret) {
  if (secret.empty()) return;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
    text.replace(at, secret.size(), "***");
  }
}

// Applies our option `name`; false if it is not one of ours.
Result<bool> apply_option(std::string_view name, std::string_view value, Options& options) {
  if (name == "schema") {
    if (!plain_identifier(value)) {
      return bad("schema must be a plain lower-case identifier (letters, digits, _)");
    }
    options.schema = value;
    return true;
  }
  if (name == "lock_timeout_ms") {
    DOVEK_ASSIGN_OR_RETURN(options.lock_timeout_ms, milliseconds(name, value));
    return true;
  }
  if (name == "statement_timeout_ms") {
    DOVEK_ASSIGN_OR_RETURN(options.statement_timeout_ms, milliseconds(name, value));
    return true;
  }
  return false;
}

bool keyword_char(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }

// libpq's key/value form: `key=value` pairs apart by spaces, a value in
// single quotes where it holds spaces (\' and \\ escape in it).
Result<Options> parse_keyword_value(std::string_view text) {
  Options options;
  std::string passed, shown;
  size_t i = 0;
  auto skip_spaces = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  };
  for (skip_spaces(); i < text.size(); skip_spaces()) {
    const size_t start = i;
    while (i < text.size() && keyword_char(text[i])) ++i;
    const std::string_view name = text.substr(start, i - start);
    skip_spaces();
    if (name.empty() || i >= text.size() || text[i] != '=') {
      return bad("expected key=value pairs or postgresql://...");
    }
    ++i;
    skip_spaces();
    std::string value;
    if (i < text.size() && text[i] == '\'') {
      for (++i;; ++i) {
        if (i >= text.size()) return bad("unterminated quoted value");
        if (text[i] == '\'') break;
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
      ++i;
    } else {
      while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\n') {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
    }
    DOVEK_ASSIGN_OR_RETURN(bool ours, apply_option(name, value, options));
    if (ours) continue;
    std::string quoted = "'";
    for (char c : value) {
      if (c == '\'' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '\'';
    for (std::string* out : {&passed, &shown}) {
      if (!out->empty()) *out += ' ';
      *out += name;
      *out += '=';
    }
    passed += quoted;
    if (name == "password") {
      options.secret = value;
      shown += "***";
    } else {
      shown += quoted;
    }
  }
  options.conninfo = std::move(passed);
  options.display = std::move(shown);
  return options;
}

}  // namespace

bool is_keyword_value(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const size_t start = i;
  while (i < text.size() && keyword_char(text[i])) ++i;
  if (i == start) return false;
  while (i < text.size() && text[i] == ' ') ++i;
  return i < text.size() && text[i] == '=';
}

std::string Options::scrub(std::string text) const {
  mask_all(text, secret);
  return text;
}

Result<Options> parse_url(std::string_view url) {
  if (is_keyword_value(url)) return parse_keyword_value(url);
  Options options;
  std::string_view rest;
  for (std::string_view scheme : {kScheme, kShortScheme}) {
    if (url.size() > scheme.size() + 3 && url.substr(0, scheme.size()) == scheme &&
        url.substr(scheme.size(), 3) == "://") {
      rest = url.substr(scheme.size() + 3);
      break;
    }
    if (url == std::string(scheme) + "://") rest = std::string_view(url.data() + url.size(), 0);
  }
  if (rest.data() == nullptr) return bad("expected postgresql://[user@][host][/dbname][?...]");
  const std::string_view head = url.substr(0, url.size() - rest.size());
  // user[:password] ends at the URL's last '@'. A raw '/', '?' or '@' before
  // it makes the URL ambiguous: libpq would end the user name and password
  // earlier (at the first '@' before the first '/') and could quote the rest
  // of them as a host, port, database or option in its messages. Such a URL
  // is refused without quoting any of it.
  const size_t at = rest.rfind('@');
  const std::string_view userinfo = rest.substr(0, at == std::string_view::npos ? 0 : at);
  if (userinfo.find_first_of("/?@") != std::string_view::npos) {
    return bad(
        "malformed before its last `@`: a user name or password must have its reserved "
        "characters %-escaped (/ as %2F, ? as %3F, @ as %40), and so must an @ elsewhere in the "
        "URL");
  }
  const std::string_view after = at == std::string_view::npos ? rest : rest.substr(at + 1);
  const size_t query = after.find('?');
  const std::string_view location = after.substr(0, query);  // [host][:port][/dbname]
  std::string shown(head);
  std::string passed(head);
  if (at != std::string_view::npos) {
    const size_t colon = userinfo.find(':');
    if (colon != std::string_view::npos) options.secret = userinfo.substr(colon + 1);
    shown += userinfo.substr(0, colon);
    shown += '@';
    passed += rest.substr(0, at + 1);
  }
  shown += location;
  passed += location;
  char separator = '?';
  std::string_view params =
      query == std::string_view::npos ? std::string_view() : after.substr(query + 1);
  DOVEK_TRY(
      sql::for_each_option(params, [&](std::string_view name, std::string_view value) -> Status {
        DOVEK_ASSIGN_OR_RETURN(bool ours, apply_option(name, value, options));
        if (ours) return ok_status();
    // libpq's own parameter: passed through, and shown unless a password.
        passed += separator;
        passed.append(name).append("=").append(value);
        shown += separator;
        if (name == "password") {
          if (options.secret.empty()) options.secret = value;
          shown += "password=***";
        } else {
          shown.append(name).append("=").append(value);
        }
        separator = '&';
        return ok_status();
      }));
  options.conninfo = std::move(passed);
  options.display = std::move(shown);
  return options;
}

}  // namespace dovek::postgres
