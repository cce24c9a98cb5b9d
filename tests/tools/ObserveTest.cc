// The long-running commands as an operator's tools see them: /metrics
// scraped over real HTTP while a bridge copies, /readyz while the database
// goes away and comes back and while a bridge is stuck, --metrics addresses
// that cannot be served, JSON log lines, and systemd's notification socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "support/Relay.h"
#include "support/TestDatabase.h"
#include "tools/BridgeTestUtil.h"
#include "tools/ObserveTestUtil.h"
#include "tools/ToolRunner.h"
#include "tools/ToolTestUtil.h"

namespace kestal::test {
namespace {

void Append(const std::string& dbf, const std::string& csv) {
  const ToolResult r = RunKestal({"dbf", "append", dbf, "--numbered"}, csv);
  ASSERT_EQ(r.status, 0) << r.err;
}

// A bridge on t (through conn when given) serving metrics on a free port.
std::unique_ptr<RunningTool> StartBridge(OrderTables& t, const std::vector<std::string>& extra,
                                         const std::string& conn = "") {
  std::vector<std::string> args = {"bridge",    t.dbf,        conn.empty() ? t.conn : conn,
                                   "orders",    "--interval", "5",
                                   "--metrics", "127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<RunningTool>(args, "C.UTF-8", t.dir.path(), true);
}

std::map<std::string, double> Scrape(const std::string& address) {
  const HttpReply r = HttpGet(address, "/metrics");
  EXPECT_EQ(r.status, 200);
  return ParseMetrics(r.body);
}

double Sample(const std::map<std::string, double>& m, const std::string& series) {
  const auto it = m.find(series);
  EXPECT_NE(it, m.end()) << "no series " << series;
  return it == m.end() ? -1 : it->second;
}

// Polls /readyz until it answers status, up to timeout_ms; the last reply.
HttpReply WaitForReady(const std::string& address, int status, int timeout_ms) {
  const long long end = NowMs() + timeout_ms;
  HttpReply r;
  while (NowMs() < end) {
    r = HttpGet(address, "/readyz");
    if (r.status == status) break;
    usleep(100000);
  }
  return r;
}

class BridgeMetricsTest : public ::testing::TestWithParam<Engine> {};

// Single-record batches make the copy slow enough to be watched: the lag
// must only fall, in records and in seconds, and end at 0 with every record
// counted once.
TEST_P(BridgeMetricsTest, LagFallsToZeroWhileCopying) {
  OrderTables t(GetParam());
  constexpr int kRecords = 1500;
  Append(t.dbf, Orders(1, kRecords));
  auto bridge = StartBridge(t, {"--batch", "1"});
  const std::string address = WaitForMetricsAddress(*bridge, 20000);
  ASSERT_FALSE(address.empty()) << bridge->err();
  EXPECT_EQ(HttpGet(address, "/healthz").status, 200);

  const std::string b = "{bridge=\"orders\"}";
  double last_lag = kRecords + 1;
  bool saw_lag = false, saw_seconds = false;
  const long long end = NowMs() + 120000;
  std::map<std::string, double> m;
  while (NowMs() < end) {
    // /readyz is asked before the scrape: a bridge still opening at the
    // scrape was opening at the question too, so it cannot have been ready.
    // (Asked the other way round, the bridge may open in between.)
    const int ready = HttpGet(address, "/readyz").status;
    m = Scrape(address);
    if (Sample(m, "kestal_bridge_connection_state{bridge=\"orders\",state=\"opening\"}") != 0) {
      EXPECT_EQ(ready, 503);
      usleep(20000);  // not open yet
      continue;
    }
    const double lag = Sample(m, "kestal_bridge_lag_records" + b);
    EXPECT_LE(lag, last_lag) << "the lag rose with no record appended";
    last_lag = lag;
    if (lag > 0) {
      saw_lag = true;
      EXPECT_EQ(Sample(m, "kestal_bridge_file_records" + b), kRecords);
      // The two gauges are set one after the other: a scrape may fall between
      // them, so they agree to within the one-record batch in flight.
      EXPECT_NEAR(lag + Sample(m, "kestal_bridge_table_records" + b), kRecords, 1);
      if (Sample(m, "kestal_bridge_lag_seconds" + b) > 0) saw_seconds = true;
    }
    if (lag == 0 && Sample(m, "kestal_bridge_records_copied_total" + b) == kRecords) break;
    usleep(20000);
  }
  EXPECT_TRUE(saw_lag) << "no scrape caught the bridge behind the file";
  EXPECT_TRUE(saw_seconds) << "records waited but their age was never shown";
  EXPECT_EQ(Sample(m, "kestal_bridge_lag_records" + b), 0);
  EXPECT_EQ(Sample(m, "kestal_bridge_lag_seconds" + b), 0);
  EXPECT_EQ(Sample(m, "kestal_bridge_records_copied_total" + b), kRecords);
  EXPECT_EQ(Sample(m, "kestal_bridge_batches_total" + b), kRecords);
  EXPECT_EQ(Sample(m, "kestal_bridge_resends_total" + b), 0);
  EXPECT_EQ(Sample(m, "kestal_bridge_records_refused_total" + b), 0);
  EXPECT_EQ(Sample(m, "kestal_bridge_connection_state{bridge=\"orders\",state=\"up\"}"), 1);
  EXPECT_EQ(Sample(m, "kestal_bridge_connection_state{bridge=\"orders\",state=\"down\"}"), 0);
  const double now = static_cast<double>(time(nullptr));
  EXPECT_NEAR(Sample(m, "kestal_bridge_last_batch_timestamp_seconds" + b), now, 60);
  EXPECT_EQ(HttpGet(address, "/readyz").status, 200);

  // Records appended later are counted on top.
  Append(t.dbf, Orders(kRecords + 1, 20));
  ASSERT_TRUE(WaitForOrderRows(*t.db, kRecords + 20, 30000));
  const long long until = NowMs() + 10000;
  while (NowMs() < until &&
         Sample(m = Scrape(address), "kestal_bridge_records_copied_total" + b) < kRecords + 20) {
    usleep(20000);
  }
  EXPECT_EQ(Sample(m, "kestal_bridge_records_copied_total" + b), kRecords + 20);
  EXPECT_EQ(Sample(m, "kestal_bridge_lag_records" + b), 0);
  EXPECT_EQ(bridge->Stop(SIGTERM), 0) << bridge->err();
  ExpectOrdersExactlyOnce(*t.db, kRecords + 20);
}

INSTANTIATE_TEST_SUITE_P(Engines, BridgeMetricsTest, ::testing::ValuesIn(kNativeEngines),
                         [](const auto& info) { return std::string(EngineLabel(info.param)); });

// The link to PostgreSQL is cut and goes silent: /readyz fails while the
// database cannot be reached (and /healthz still answers), and passes again
// once it returns; nothing is lost or doubled.
TEST(BridgeReadySlowTest, ReadyzFailsWhileTheDatabaseIsLost) {
  OrderTables t(Engine::kPostgres);
  ASSERT_GT(PostgresPort(), 0) << "KESTAL_PG_PORT is not set";
  Relay relay("127.0.0.1", PostgresPort());
  Append(t.dbf, Orders(1, 20));
  auto bridge = StartBridge(t, {"--batch", "10"}, ThroughRelay(t.conn, relay.port(), 2));
  const std::string address = WaitForMetricsAddress(*bridge, 20000);
  ASSERT_FALSE(address.empty()) << bridge->err();
  ASSERT_TRUE(WaitForOrderRows(*t.db, 20, 20000));
  EXPECT_EQ(WaitForReady(address, 200, 10000).status, 200);

  relay.Stall();
  relay.Cut();
  Append(t.dbf, Orders(21, 10));
  const HttpReply lost = WaitForReady(address, 503, 60000);
  EXPECT_EQ(lost.status, 503);
  EXPECT_NE(lost.body.find("bridge orders: the database cannot be reached"), std::string::npos)
      << lost.body;
  EXPECT_EQ(HttpGet(address, "/healthz").status, 200);
  const auto m = Scrape(address);
  EXPECT_EQ(Sample(m, "kestal_bridge_connection_state{bridge=\"orders\",state=\"down\"}"), 1);
  EXPECT_EQ(Sample(m, "kestal_bridge_lag_records{bridge=\"orders\"}"), 10);

  relay.Pass();
  EXPECT_EQ(WaitForReady(address, 200, 60000).status, 200);
  ASSERT_TRUE(WaitForOrderRows(*t.db, 30, 30000));
  EXPECT_GE(Sample(Scrape(address), "kestal_bridge_reconnections_total{bridge=\"orders\"}"), 1);
  EXPECT_EQ(bridge->Stop(SIGTERM), 0) << bridge->err();
  ExpectOrdersExactlyOnce(*t.db, 30);
}

// Records wait while another connection holds the database: past
// --stuck-after the bridge is not ready, and it is again once it copies.
TEST(BridgeStuckSlowTest, ReadyzFailsWhileRecordsWaitPastTheStuckTime) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 5));
  auto bridge = StartBridge(t, {"--stuck-after", "1"});
  const std::string address = WaitForMetricsAddress(*bridge, 20000);
  ASSERT_FALSE(address.empty()) << bridge->err();
  ASSERT_TRUE(WaitForOrderRows(*t.db, 5, 20000));
  // Caught up and idle for longer than the stuck time: still ready.
  usleep(1500000);
  EXPECT_EQ(HttpGet(address, "/readyz").status, 200);

  const pid_t holder = HoldWriteLock(t.db->FilePath(), 5000);
  ASSERT_GT(holder, 0);
  Append(t.dbf, Orders(6, 5));
  const HttpReply stuck = WaitForReady(address, 503, 4500);
  EXPECT_EQ(stuck.status, 503);
  EXPECT_NE(stuck.body.find("bridge orders: stuck: 5 records wait"), std::string::npos)
      << stuck.body;
  EXPECT_EQ(0, Wait(holder));
  ASSERT_TRUE(WaitForOrderRows(*t.db, 10, 30000));
  EXPECT_EQ(WaitForReady(address, 200, 10000).status, 200);
  EXPECT_EQ(bridge->Stop(SIGTERM), 0) << bridge->err();
  ExpectOrdersExactlyOnce(*t.db, 10);
}

// A port of this process, listening (without SO_REUSEPORT); closed by the
// destructor.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 1) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(MetricsAddressTest, AddressesThatCannotBeServedStopTheCommandAtStart) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 3));
  Listener taken;
  ASSERT_GT(taken.port(), 0);
  struct Case {
    std::string address;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"127.0.0.1:" + std::to_string(taken.port()), 1, "Address already in use"},
      {"192.0.2.1:0", 1, "cannot serve metrics on 192.0.2.1:0: "},
      {"no-such-host.invalid:9187", 1, "cannot serve metrics on no-such-host.invalid:9187"},
      {"127.0.0.1", 2, "option '--metrics' wants ADDR:PORT"},
      {"127.0.0.1:65536", 2, "option '--metrics' wants ADDR:PORT"},
      {"127.0.0.1:", 2, "option '--metrics' wants ADDR:PORT"},
      {"::1:80", 2, "option '--metrics' wants ADDR:PORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    for (const std::string command : {"bridge", "follow"}) {
      const std::vector<std::string> args =
          command == std::string("bridge")
              ? std::vector<std::string>{"bridge", t.dbf, t.conn, "orders", "--metrics", c.address}
              : std::vector<std::string>{"sql", "follow", t.conn, "orders", "--metrics", c.address};
      const ToolResult r = RunKestal(args, "", "C.UTF-8", -1, t.dir.path());
      EXPECT_EQ(r.status, c.status) << r.err;
      EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "") << "nothing is delivered before the endpoint is up";
    }
    EXPECT_EQ(OrderCount(*t.db), 0) << "nothing is copied before the endpoint is up";
  }
}

// Each stderr line of err parses as one JSON object with the common
// members; returns them.
std::vector<std::map<std::string, std::string>> JsonLines(const std::string& err) {
  std::vector<std::map<std::string, std::string>> events;
  for (const std::string& line : Lines(err)) {
    std::map<std::string, std::string> fields;
    std::string error;
    EXPECT_TRUE(ParseJsonObject(line, &fields, &error)) << error << ": " << line;
    for (const char* key : {"time", "level", "event", "message"}) {
      EXPECT_EQ(fields.count(key), 1u) << key << " missing: " << line;
    }
    events.push_back(fields);
  }
  return events;
}

TEST(JsonLogTest, BridgeEventsAreOneObjectPerLine) {
  OrderTables t(Engine::kSqlite);
  // A comma makes mode 2 fall back to statements, with a notice; a quote,
  // a backslash and a tab must come out escaped.
  Append(t.dbf, "REC_NUM,STOCK,BS,QTY,NOTE\n,600001,B,100,\"a,b\"\n,600002,S,200,\"q\"\"\\\t\"\n");
  auto bridge = StartBridge(t, {"--log-format", "json", "--mode", "2"});
  ASSERT_FALSE(WaitForMetricsAddress(*bridge, 20000).empty()) << bridge->err();
  ASSERT_TRUE(WaitForOrderRows(*t.db, 2, 20000));
  ASSERT_EQ(bridge->Stop(SIGTERM), 0) << bridge->err();
  const auto events = JsonLines(bridge->err());
  ASSERT_GE(events.size(), 3u) << bridge->err();
  EXPECT_EQ(events.front().at("event"), "metrics");
  bool fallback = false;
  for (const auto& e : events) {
    if (e.at("event") != "notice") continue;
    EXPECT_EQ(e.at("bridge"), "orders");
    EXPECT_EQ(e.at("level"), "warning");
    if (e.at("message").find("holds a comma") != std::string::npos) fallback = true;
  }
  EXPECT_TRUE(fallback) << bridge->err();
  const auto& last = events.back();
  EXPECT_EQ(last.at("event"), "stopped");
  EXPECT_EQ(last.at("copied"), "2");
  EXPECT_EQ(last.at("position"), "2");
  EXPECT_EQ(last.at("file_count"), "2");
  EXPECT_EQ(last.at("time").size(), 24u) << last.at("time");
  EXPECT_EQ(OrderRows(*t.db)[1][4], "q\"\\\t");
}

// Under a plain ASCII locale table text reaches the message as GBK bytes:
// the JSON line carries it as UTF-8. Text lines stay as they were.
TEST(JsonLogTest, FailureWithGbkTextIsValidUtf8) {
  OrderTables t(Engine::kSqlite,
                "create table orders (rec_num int, stock varchar(6), bs char(1), qty int, "
                "note varchar(3))");
  Append(t.dbf, "REC_NUM,STOCK,BS,QTY,NOTE\n,600002,S,200,订单订单\n");
  const ToolResult json = RunKestal({"bridge", t.dbf, t.conn, "orders", "--log-format", "json"}, "",
                                    "C", -1, t.dir.path());
  EXPECT_EQ(json.status, 1);
  const auto events = JsonLines(json.err);
  ASSERT_EQ(events.size(), 1u) << json.err;
  EXPECT_EQ(events[0].at("level"), "error");
  EXPECT_EQ(events[0].at("event"), "failed");
  EXPECT_EQ(events[0].at("command"), "kestal bridge");
  EXPECT_NE(events[0].at("message").find("'订单订单' has 4 characters"), std::string::npos)
      << json.err;

  const ToolResult text = RunKestal({"bridge", t.dbf, t.conn, "orders"}, "", "C", -1, t.dir.path());
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.err.rfind("kestal bridge: record 1, column note: '", 0), 0u) << text.err;

  const ToolResult usage = RunKestal({"bridge", t.dbf, t.conn, "orders", "--log-format", "xml"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("option '--log-format' wants text or json, not 'xml'"),
            std::string::npos)
      << usage.err;
}

void InsertOrders(TestDatabase& db, const std::vector<int>& keys) {
  for (int k : keys) {
    db.Exec("insert into orders values (" + std::to_string(k) + ", '60000" +
            std::to_string(k % 10) + "', 'B', " + std::to_string(100 * k) + ", 'n')");
  }
}

// A window with a gap is held back nine looks and delivered at the tenth:
// the follower's metrics count both, the rows and the last key; its notices
// come as JSON lines naming the table.
TEST(FollowMetricsTest, GapHoldsForcedDeliveryAndLastKey) {
  auto db = TestDatabase::Create(Engine::kSqlite);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 3, 4, 5, 7});
  RunningTool f({"sql", "follow", db->ConnectionString(), "orders", "--interval", "5", "--metrics",
                 "127.0.0.1:0", "--log-format", "json"},
                "C.UTF-8", "", true);
  const std::string address = WaitForMetricsAddress(f, 20000);
  ASSERT_FALSE(address.empty()) << f.err();
  f.ReadLines(7, 20000);
  const std::string t = "{table=\"orders\"}";
  std::map<std::string, double> m;
  const long long end = NowMs() + 10000;
  while (NowMs() < end &&
         Sample(m = Scrape(address), "kestal_follow_rows_delivered_total" + t) < 6) {
    usleep(20000);
  }
  EXPECT_EQ(Sample(m, "kestal_follow_rows_delivered_total" + t), 6);
  EXPECT_EQ(Sample(m, "kestal_follow_gap_holds_total" + t), 9);
  EXPECT_EQ(Sample(m, "kestal_follow_forced_deliveries_total" + t), 1);
  EXPECT_EQ(Sample(m, "kestal_follow_last_key" + t), 7);
  EXPECT_EQ(Sample(m, "kestal_follow_connection_state{table=\"orders\",state=\"up\"}"), 1);
  EXPECT_EQ(HttpGet(address, "/readyz").status, 200);
  ASSERT_EQ(f.Stop(SIGTERM), 0) << f.err();
  const auto events = JsonLines(f.err());
  ASSERT_GE(events.size(), 3u) << f.err();
  int gap_notices = 0;
  for (const auto& e : events) {
    if (e.at("event") == "notice" && e.at("table") == "orders") ++gap_notices;
  }
  EXPECT_GE(gap_notices, 9) << f.err();
  EXPECT_EQ(events.back().at("event"), "stopped");
  EXPECT_NE(events.back().at("message").find("last key delivered: 7"), std::string::npos);
  EXPECT_EQ(events.back().at("rows"), "6");
}

// The follower's link to PostgreSQL is cut and goes silent: /readyz fails
// until it returns; the rows after it still arrive once each.
TEST(FollowReadySlowTest, ReadyzFailsWhileTheDatabaseIsLost) {
  ASSERT_GT(PostgresPort(), 0) << "KESTAL_PG_PORT is not set";
  auto db = TestDatabase::Create(Engine::kPostgres);
  db->Exec(kOrderTableSql);
  InsertOrders(*db, {1, 2, 3});
  Relay relay("127.0.0.1", PostgresPort());
  RunningTool f({"sql", "follow", ThroughRelay(db->ConnectionString(), relay.port(), 2), "orders",
                 "--interval", "5", "--metrics", "127.0.0.1:0"},
                "C.UTF-8", "", true);
  const std::string address = WaitForMetricsAddress(f, 20000);
  ASSERT_FALSE(address.empty()) << f.err();
  f.ReadLines(4, 20000);
  EXPECT_EQ(WaitForReady(address, 200, 10000).status, 200);

  relay.Stall();
  relay.Cut();
  const HttpReply lost = WaitForReady(address, 503, 60000);
  EXPECT_EQ(lost.status, 503);
  EXPECT_NE(lost.body.find("follower orders: the database cannot be reached"), std::string::npos)
      << lost.body;
  EXPECT_EQ(
      Sample(Scrape(address), "kestal_follow_connection_state{table=\"orders\",state=\"down\"}"),
      1);

  relay.Pass();
  EXPECT_EQ(WaitForReady(address, 200, 60000).status, 200);
  InsertOrders(*db, {4});
  const std::string& out = f.ReadLines(5, 20000);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
  const auto m = Scrape(address);
  EXPECT_EQ(Sample(m, "kestal_follow_rows_delivered_total{table=\"orders\"}"), 4);
  EXPECT_EQ(Sample(m, "kestal_follow_last_key{table=\"orders\"}"), 4);
  EXPECT_EQ(f.Stop(SIGTERM), 0) << f.err();
}

// Sets an environment variable for the children started while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

// Reads datagrams until one starts with prefix, up to timeout_ms; counts the
// WATCHDOG=1 ones passed on the way in *pings.
bool ReceiveUntil(NotifySocket& socket, const std::string& prefix, int timeout_ms, int* pings) {
  const long long end = NowMs() + timeout_ms;
  while (NowMs() < end) {
    const std::string m = socket.Receive(100);
    if (m == "WATCHDOG=1") ++*pings;
    if (!m.empty() && m.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(NotifyTest, ReadyWatchdogAndStoppingOnARealSocket) {
  OrderTables t(Engine::kSqlite);
  Append(t.dbf, Orders(1, 5));
  struct Case {
    std::vector<std::string> args;
    bool watchdog;
  };
  const Case cases[] = {
      {{"bridge", t.dbf, t.conn, "orders", "--interval", "5000"}, true},
      {{"bridge", t.dbf, t.conn, "orders", "--interval", "50"}, false},
      {{"sql", "follow", t.conn, "orders", "--interval", "5000"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.watchdog ? " with a watchdog" : " without a watchdog"));
    NotifySocket socket(t.dir.File("notify"));
    ScopedEnv notify("NOTIFY_SOCKET", socket.path());
    std::unique_ptr<ScopedEnv> watchdog;
    // 400 ms: a ping every 200 ms, even while the loop would sleep 5 s.
    if (c.watchdog) watchdog = std::make_unique<ScopedEnv>("WATCHDOG_USEC", "400000");
    RunningTool tool(c.args, "C.UTF-8", t.dir.path(), true);
    int pings = 0;
    ASSERT_TRUE(ReceiveUntil(socket, "READY=1", 20000, &pings)) << tool.err();
    pings = 0;
    ReceiveUntil(socket, "nothing", 1500, &pings);
    if (c.watchdog) {
      EXPECT_GE(pings, 3) << "a ping every 200 ms is wanted";
    } else {
      EXPECT_EQ(pings, 0);
    }
    kill(tool.pid(), SIGTERM);
    EXPECT_TRUE(ReceiveUntil(socket, "STOPPING=1", 10000, &pings));
    EXPECT_EQ(tool.Wait(), 0) << tool.err();
  }
  ExpectOrdersExactlyOnce(*t.db, 5);
}

}  // namespace
}  // namespace kestal::test
