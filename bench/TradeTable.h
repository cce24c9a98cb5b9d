// The trade table of the SQL benchmarks: rec_num 1..N (indexed), stock, bs,
// cjsj, time and serialnum, written through the engines' own client
// libraries so that filling it costs the library nothing.
#pragma once

#include <string>

#include "SqlScratch.h"

namespace kestal::bench {

// The values of trade i (1-based): rec_num and serialnum are i.
struct Trade {
  long recNum;
  char stock[16];
  const char* bs;
  char cjsj[16];
  char time[24];
};
Trade MakeTrade(long i);

// Creates table with the trade columns and an index on rec_num. Throws
// std::runtime_error.
void CreateTrades(const SqliteScratch& db, const std::string& table);
void CreateTrades(const PgScratch& db, const std::string& table);

// Appends trades first..last: in one transaction on SQLite, by one COPY on
// PostgreSQL. Throws std::runtime_error.
void AppendTrades(const SqliteScratch& db, const std::string& table, long first, long last);
void AppendTrades(const PgScratch& db, const std::string& table, long first, long last);

}  // namespace kestal::bench
