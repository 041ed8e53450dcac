#include <gtest/gtest.h>

#include <string>

#include "postgres/database.h"
#include "postgres/url.h"

namespace dovek::postgres {
namespace {

TEST(StoreUrl, OurOptionsAreTakenOutAndTheRestPassedToLibpq) {
  Result<Options> o = parse_url(
      "postgresql://me:pw%40x@db:5433/app?sslmode=require&schema=chat&lock_timeout_ms=0&"
      "statement_timeout_ms=250&application_name=w");
  ASSERT_TRUE(o.ok()) << o.error().message();
  EXPECT_EQ(o->conninfo, "postgresql://me:pw%40x@db:5433/app?sslmode=require&application_name=w");
  EXPECT_EQ(o->display, "postgresql://me@db:5433/app?sslmode=require&application_name=w");
  EXPECT_EQ(o->schema, "chat");
  EXPECT_EQ(o->lock_timeout_ms, 0);
  EXPECT_EQ(o->statement_timeout_ms, 250);

  Result<Options> d = parse_url("postgres:///app");
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->conninfo, "postgres:///app");
  EXPECT_EQ(d->schema, "dovek");
  EXPECT_EQ(d->lock_timeout_ms, 5000);
  EXPECT_EQ(d->statement_timeout_ms, 0);
}

TEST(StoreUrl, KeyValueStrings) {
  Result<Options> o =
      parse_url("host=/run/pg  dbname = 'my app' password='it\\'s' schema=chat lock_timeout_ms=7");
  ASSERT_TRUE(o.ok()) << o.error().message();
  EXPECT_EQ(o->conninfo, "host='/run/pg' dbname='my app' password='it\\'s'");
  EXPECT_EQ(o->display, "host='/run/pg' dbname='my app' password=***");
  EXPECT_EQ(o->secret, "it's");
  EXPECT_EQ(o->schema, "chat");
  EXPECT_EQ(o->lock_timeout_ms, 7);
  EXPECT_TRUE(is_keyword_value("dbname=x"));
  EXPECT_FALSE(is_keyword_value("sqlite:///a=b"));
  EXPECT_FALSE(is_keyword_value("agent.db"));
  for (const char* bad : {"host=a b", "host='unterminated", "dbname=x schema=No"}) {
    EXPECT_FALSE(parse_url(bad).ok()) << bad;
  }
}

TEST(StoreUrl, PasswordsNeverShow) {
  for (const char* url : {"postgresql://me:s3cret@h/db", "postgresql://h/db?password=s3cret",
                          "postgresql://me:s3cret@h/db?password=s3cret&schema=x"}) {
    Result<Options> o = parse_url(url);
    ASSERT_TRUE(o.ok()) << url;
    EXPECT_EQ(o->display.find("s3cret"), std::string::npos) << o->display;
    EXPECT_EQ(o->scrub("auth failed for s3cret, s3cret"), "auth failed for ***, ***");
  }
  for (const char* bad : {"postgresql://me:s3cret@h/db?schema=Bad", "postgresql://h/db?x",
                          "postgresql://me:s3cret@h/db?lock_timeout_ms=1e3"}) {
    Result<Options> o = parse_url(bad);
    ASSERT_FALSE(o.ok()) << bad;
    EXPECT_EQ(o.error().message().find("s3cret"), std::string::npos) << o.error().message();
  }
}

TEST(StoreUrl, RefusedForms) {
  for (const char* bad : {"postgresql:/h/db", "sqlite:///x", "postgresql://h/db?schema=1a",
                          "postgresql://h/db?schema=", "postgresql://h/db?statement_timeout_ms=-5",
                          "postgresql://h/db?lock_timeout_ms=99999999999"}) {
    EXPECT_FALSE(parse_url(bad).ok()) << bad;
  }
}

TEST(LockKeys, DependOnSchemaTableAndKey) {
  EXPECT_EQ(lock_key("s", "sessions", "a"), lock_key("s", "sessions", "a"));
  EXPECT_NE(lock_key("s", "sessions", "a"), lock_key("s", "runs", "a"));
  EXPECT_NE(lock_key("s", "sessions", "a"), lock_key("t", "sessions", "a"));
  EXPECT_NE(lock_key("s", "sessions", "ab"), lock_key("s", "sessionsa", "b"));
  EXPECT_NE(lock_key("s", "sessions", std::string("a\0b", 3)), lock_key("s", "sessions", "a"));
  EXPECT_NE(lock_key("s", "", ""), lock_key("", "s", ""));  // a store's own lock
}

}  // namespace
}  // namespace dovek::postgres
