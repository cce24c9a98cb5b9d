// The rewrite cache by statement shape: whatever it answers from a learnt
// shape must be what the rewriter gives for the same text and schema, on
// each dialect; its slots must be only numbers whose binding cannot change a
// result or a column name; it stays within its size and forgets shapes when
// the schema changes.
#include <gtest/gtest.h>
#include <strings.h>

#include <string>
#include <vector>

#include "sql/db/ComError.h"
#include "sql/db/sqlite/Dialect.h"
#include "sql/db/tsql/RewriteCache.h"
#include "sql/db/tsql/Rewriter.h"
#ifndef KESTAL_TESTS_SQLITE_ONLY
#include "sql/db/postgres/Dialect.h"
#endif

namespace {

using kestal::db::tsql::Dialect;
using kestal::db::tsql::RewriteCache;
using kestal::db::tsql::Schema;
using kestal::db::tsql::ShapedStatement;
using kestal::db::tsql::TableShape;

// trades(rec_num int, stock varchar, bs char, serialnum int); flip() makes
// rec_num a character column, as a table dropped and made again might.
class TradesSchema : public Schema {
 public:
  TradesSchema() { Build(false); }
  const TableShape* Table(const std::string& name) override {
    return strcasecmp(name.c_str(), "trades") == 0 ? &table_ : nullptr;
  }
  void Flip() { Build(true); }

 private:
  void Build(bool rec_num_is_text) {
    table_ = {"trades",
              {{"rec_num", rec_num_is_text}, {"stock", true}, {"bs", true}, {"serialnum", false}}};
  }
  TableShape table_;
};

std::vector<const Dialect*> Dialects() {
  std::vector<const Dialect*> out = {&kestal::db::sqlite::SqliteDialect()};
#ifndef KESTAL_TESTS_SQLITE_ONLY
  out.push_back(&kestal::db::postgres::PostgresDialect());
#endif
  return out;
}

// The engine text of a shaped statement with ?k replaced by its value: what
// the engine runs once the values are bound.
std::string Bound(const ShapedStatement& s) {
  std::string out;
  for (size_t i = 0; i < s.shape_sql.size(); ++i) {
    if (s.shape_sql[i] != '?') {
      out += s.shape_sql[i];
      continue;
    }
    size_t k = 0;
    while (i + 1 < s.shape_sql.size() && isdigit(static_cast<unsigned char>(s.shape_sql[i + 1]))) {
      k = k * 10 + static_cast<size_t>(s.shape_sql[++i] - '0');
    }
    out += std::to_string(s.values.at(k - 1));
  }
  return out;
}

// Runs every text through one cache and checks each answer against the
// rewriter's own; returns the cache's hits.
size_t CheckAll(const std::vector<std::string>& texts, size_t capacity = 64) {
  size_t hits = 0;
  for (const Dialect* d : Dialects()) {
    TradesSchema schema;
    RewriteCache cache(capacity);
    for (const std::string& text : texts) {
      const auto want = kestal::db::tsql::Rewrite(text, *d, &schema);
      const ShapedStatement got = cache.Rewrite(text, *d, &schema, [] { return 1LL; });
      EXPECT_EQ(want.sql, got.statement.sql) << text;
      EXPECT_EQ(want.kind, got.statement.kind) << text;
      EXPECT_EQ(want.locked_tables, got.statement.locked_tables) << text;
      if (!got.shape_sql.empty()) {
        EXPECT_EQ(want.sql, Bound(got)) << text;
      }
      EXPECT_LE(cache.size(), capacity);
    }
    hits = cache.hits();
  }
  return hits;
}

// The shape_sql of text after a first statement of the same shape.
ShapedStatement Second(const std::string& first, const std::string& text) {
  TradesSchema schema;
  RewriteCache cache;
  const auto& d = kestal::db::sqlite::SqliteDialect();
  cache.Rewrite(first, d, &schema, [] { return 1LL; });
  return cache.Rewrite(text, d, &schema, [] { return 1LL; });
}

TEST(RewriteCacheTest, WindowStatementsAreLearntOnceAndAnsweredAlike) {
  std::vector<std::string> texts;
  for (int from = 0; from < 2000; from += 500) {
    const std::string lo = std::to_string(from), hi = std::to_string(from + 500);
    texts.push_back(
        "select count(*) as CurRecCnt,max(rec_num) as maxCurRecNum from trades where rec_num>" +
        lo + " and rec_num<=" + hi);
    texts.push_back("select * from trades where rec_num>" + lo + " and ( bs='B' or bs='S' ) and " +
                    "rec_num<=" + hi + " order by rec_num");
  }
  // rec_num>0 is a shape of its own (0 is no slot); the other three windows
  // of each statement are answered from their shape.
  EXPECT_EQ(CheckAll(texts), 4u);
}

TEST(RewriteCacheTest, LiteralsThatLookAlikeAreShapesOfTheirOwn) {
  // Each group: statements whose numbers differ in kind, sign, quoting or
  // place; every answer must still be the rewriter's.
  const std::vector<std::vector<std::string>> groups = {
      // int against text against decimal against a number past int.
      {"select * from trades where stock = 5", "select * from trades where stock = '5'",
       "select * from trades where stock = 6", "select * from trades where stock = 5.0",
       "select * from trades where stock = 2147483648", "select * from trades where stock = 7",
       "select * from trades where stock = N'7'", "select * from trades where stock = 0x37"},
      // Signs: -5 is no slot, and >-5 is not >5.
      {"select * from trades where rec_num > -5", "select * from trades where rec_num > 5",
       "select * from trades where rec_num > -6", "select * from trades where rec_num > 6",
       "select * from trades where rec_num > - 7"},
      // Digits inside strings, N'' strings, names and comments.
      {"select * from trades where stock = '600001' and rec_num > 1",
       "select * from trades where stock = '600002' and rec_num > 2",
       "select * from trades where stock = N'60 > 3' and rec_num > 3",
       "select * from trades where stock = N'60 > 4' and rec_num > 4",
       "select * from trades where rec_num > 5 /* rec_num > 10 */",
       "select * from trades where rec_num > 6 /* rec_num > 11 */",
       "select * from trades where rec_num > 7 -- and rec_num > 12\n",
       "select * from trades where [rec_num] > 8 and \"stock\" = '9'"},
      // Leading zeros and long numbers stay literal.
      {"select * from trades where rec_num > 007", "select * from trades where rec_num > 008",
       "select * from trades where rec_num > 123456789",
       "select * from trades where rec_num > 1234567890"},
  };
  for (const auto& g : groups) CheckAll(g);
  EXPECT_EQ(Second("select * from trades where stock = 5", "select * from trades where stock = '6'")
                .shape_sql,
            "");
  EXPECT_EQ(Second("select * from trades where rec_num > 5 /* 10 */",
                   "select * from trades where rec_num > 6 /* 11 */")
                .values,
            std::vector<long long>{6});
  // A character column compared with a number keeps its conversion around
  // the bound value.
  const ShapedStatement s =
      Second("select * from trades where stock >= 100", "select * from trades where stock >= 200");
  EXPECT_NE(s.shape_sql.find("?1"), std::string::npos) << s.shape_sql;
  EXPECT_EQ(s.values, std::vector<long long>{200});
}

TEST(RewriteCacheTest, NumbersThatNameColumnsOrResultsAreNeverSlots) {
  // Column positions, select-list expressions (their text may name the
  // result column), bracketed expressions and TOP stay literal.
  const char* const kTexts[] = {
      "select * from trades where rec_num > 5 order by 2",
      "select case when rec_num = 5 then 1 end from trades where bs = 'B'",
      "select (select max(rec_num) from trades where rec_num < 9) from trades",
      "select * from trades where (rec_num > 5)",
      "select * from trades where rec_num in (5, 6)",
      "select top 5 * from trades where bs = 'B'",
      "select rec_num from trades group by rec_num having count(*) > 1",
  };
  for (const char* text : kTexts) {
    const ShapedStatement s = Second(text, text);
    const std::string bound = s.shape_sql.empty() ? std::string() : s.shape_sql;
    EXPECT_EQ(bound.find("?2"), std::string::npos) << text;
    if (std::string(text).find("order by 2") != std::string::npos) {
      EXPECT_NE(s.statement.sql.find("order by 2"), std::string::npos) << s.statement.sql;
    }
    for (const char* kept : {"= 5 then", "< 9", "(rec_num > 5)", "(5, 6)", "> 1"}) {
      if (std::string(text).find(kept) != std::string::npos) {
        EXPECT_EQ(s.shape_sql.find("?"), std::string::npos) << text << " -> " << s.shape_sql;
      }
    }
  }
  CheckAll(std::vector<std::string>(std::begin(kTexts), std::end(kTexts)));
}

TEST(RewriteCacheTest, OtherStatementsPassStraightThrough) {
  const std::vector<std::string> texts = {
      "insert into trades (rec_num, stock) values (1, '600001')",
      "update trades set bs = 'S' where rec_num > 5",
      "delete from trades where rec_num > 5",
      "set rowcount 500",
      "set rowcount 0",
      "select * from trades where rec_num > 98765",
      // Past the size a shape is kept for.
      "select * from trades where rec_num > 5 and stock <> '" + std::string(9000, 'x') + "'",
      "select * from trades where rec_num > 6 and stock <> '" + std::string(9000, 'x') + "'",
  };
  EXPECT_EQ(CheckAll(texts), 0u);
  for (const auto& t : texts) EXPECT_EQ(Second(t, t).shape_sql, "") << t;
}

TEST(RewriteCacheTest, RewriteFailuresAreRaisedAsTheRewriterRaisesThem) {
  TradesSchema schema;
  RewriteCache cache;
  const auto& d = kestal::db::sqlite::SqliteDialect();
  for (const char* bad : {"select * from trades where rec_num > 5 and stock = 'open",
                          "select * from trades where rec_num > 5 /* open"}) {
    for (int round = 0; round < 2; ++round) {
      HRESULT want = 0, got = 0;
      try {
        kestal::db::tsql::Rewrite(bad, d, &schema);
      } catch (const _com_error& e) {
        want = e.Error();
      }
      try {
        cache.Rewrite(bad, d, &schema, [] { return 1LL; });
      } catch (const _com_error& e) {
        got = e.Error();
      }
      EXPECT_NE(want, 0) << bad;
      EXPECT_EQ(want, got) << bad;
    }
  }
}

TEST(RewriteCacheTest, AFullCacheDropsTheLeastRecentlyUsedShape) {
  std::vector<std::string> texts;
  // Ten shapes (the column differs) twice round, through a cache of four;
  // then the last four again, which must still be there.
  for (int round = 0; round < 2; ++round) {
    for (int shape = 0; shape < 10; ++shape) {
      texts.push_back("select * from trades where rec_num > " + std::to_string(round + 1) +
                      " and stock <> 'S" + std::to_string(shape) + "'");
    }
  }
  EXPECT_EQ(CheckAll(texts, 4), 0u);
  for (int shape = 6; shape < 10; ++shape) {
    texts.push_back("select * from trades where rec_num > 9 and stock <> 'S" +
                    std::to_string(shape) + "'");
  }
  EXPECT_EQ(CheckAll(texts, 4), 4u);
}

TEST(RewriteCacheTest, ASchemaChangeForgetsWhatWasLearnt) {
  TradesSchema schema;
  RewriteCache cache;
  const auto& d = kestal::db::sqlite::SqliteDialect();
  long long generation = 1;
  auto ask = [&](const std::string& text) {
    return cache.Rewrite(text, d, &schema, [&] { return generation; });
  };
  ask("select * from trades where rec_num > 5");
  EXPECT_EQ(ask("select * from trades where rec_num > 6").statement.sql,
            "select * from trades where rec_num > 6");
  // rec_num now holds characters: compared with a number it is converted.
  schema.Flip();
  ++generation;
  const std::string want =
      kestal::db::tsql::Rewrite("select * from trades where rec_num > 7", d, &schema).sql;
  EXPECT_NE(want, "select * from trades where rec_num > 7");
  EXPECT_EQ(ask("select * from trades where rec_num > 7").statement.sql, want);
  EXPECT_EQ(cache.size(), 1u);
}

}  // namespace
