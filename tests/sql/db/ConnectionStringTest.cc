#include <gtest/gtest.h>

#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"

namespace {

using kestal::db::ConnectionString;

TEST(ConnectionStringTest, KeysIgnoreCaseAndValuesMayBeQuoted) {
  auto cs = ConnectionString::Parse(
      " Provider = SQLite ;DATA SOURCE='/tmp/a;b=c.db'; Password=\"x\"\"y\";Create=Yes;;");
  EXPECT_EQ(cs.Get("provider"), "SQLite");
  EXPECT_EQ(cs.Get("data source"), "/tmp/a;b=c.db");
  EXPECT_EQ(cs.Get("password"), "x\"y");
  EXPECT_TRUE(cs.GetFlag("CREATE"));
  EXPECT_FALSE(cs.GetFlag("missing"));
  EXPECT_FALSE(cs.Has("user id"));
  EXPECT_EQ(cs.Get("user id", "sa"), "sa");
}

TEST(ConnectionStringTest, LastValueOfARepeatedKeyWins) {
  auto cs = ConnectionString::Parse("a=1;A=2");
  EXPECT_EQ(cs.Get("a"), "2");
  EXPECT_EQ(ConnectionString::Parse("").Pairs().size(), 0u);
  EXPECT_EQ(ConnectionString::Parse("k=").Get("k", "x"), "");
}

TEST(ConnectionStringTest, SetReplacesWithoutRegardToCaseOrAdds) {
  auto cs = ConnectionString::Parse("User ID=a");
  cs.Set("user id", "b");
  cs.Set("Password", "p");
  EXPECT_EQ(cs.Get("USER ID"), "b");
  EXPECT_EQ(cs.Get("password"), "p");
  EXPECT_EQ(cs.Pairs().size(), 2u);
}

TEST(ConnectionStringTest, MalformedStringsAreConnectionErrors) {
  for (const char* bad : {"Provider", "=x", "a='open", "a='x' trailing;b=1", "a=1;junk;b=2"}) {
    try {
      ConnectionString::Parse(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), kestal::db::kConnectionError) << bad;
    }
  }
}

}  // namespace
