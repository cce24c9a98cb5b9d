// The drivers' bulk-copy entry points (see BulkCopy.h).
#include "sql/db/odbc/BulkCopy.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>

#include <cstring>

#include "platform/Codepage.h"
#include "sql/db/ComError.h"
#include "sql/db/odbc/Errors.h"

#ifdef KESTAL_WITH_BCP
#define TDSODBC_BCP 1
#include <odbcss.h>
#endif

namespace kestal::db::odbc {
namespace {

// Microsoft's constants for the bulk-copy functions: DB_IN, SUCCEED,
// SQLCHARACTER (the bcp_bind type of character data), SQL_VARLEN_DATA's
// companion SQL_NULL_DATA, and the bcp_control option BCPKEEPIDENTITY.
constexpr int kDbIn = 1;
constexpr SQLRETURN kSucceed = 1;
constexpr int kSqlCharacter = 0x2f;
constexpr int kNullData = -1;
constexpr int kBcpKeepIdentity = 8;

bool Contains(const std::string& text, const char* part) {
  const size_t n = std::strlen(part);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, part, n) == 0) return true;
  }
  return false;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of the loaded library whose file name is driver's, or empty.
std::string LoadedPath(const std::string& driver) {
  struct Search {
    std::string name;
    std::string found;
  } search{BaseName(driver), std::string()};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name != nullptr && BaseName(info->dlpi_name) == s->name) {
          s->found = info->dlpi_name;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

[[noreturn]] void NoBulkCopy(const std::string& driver, const std::string& why) {
  throw _com_error(kNotSupported, CString("ODBC: the driver '" + driver +
                                          "' offers no bulk copy for BULK INSERT: " + why));
}

// Microsoft's driver: the entry points of its library, on its own handle.
class DriverBulkCopy : public BulkCopy {
 public:
  DriverBulkCopy(SQLHDBC dbc, const std::string& driver, const std::string& encoding)
      : dbc_(dbc), driver_(driver), encoding_(encoding) {
    const std::string path = LoadedPath(driver);
    if (path.empty()) NoBulkCopy(driver, "its library is not loaded in this process");
    // RTLD_NOLOAD: the library the driver manager loaded, never a second copy.
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library_ == nullptr) NoBulkCopy(driver, "dlopen of " + path + " failed: " + dlerror());
    init_ = Symbol<InitFn>("bcp_initW");
    bind_ = Symbol<BindFn>("bcp_bind");
    send_ = Symbol<SendFn>("bcp_sendrow");
    batch_ = Symbol<CountFn>("bcp_batch");
    done_ = Symbol<CountFn>("bcp_done");
    control_ = Symbol<ControlFn>("bcp_control");
    SQLULEN own = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DRIVER_HDBC, &own, sizeof own, nullptr)) || own == 0) {
      dlclose(library_);
      NoBulkCopy(driver, "SQLGetInfo(SQL_DRIVER_HDBC) gave no driver handle");
    }
    handle_ = reinterpret_cast<void*>(own);
  }
  ~DriverBulkCopy() override { dlclose(library_); }
  DriverBulkCopy(const DriverBulkCopy&) = delete;
  DriverBulkCopy& operator=(const DriverBulkCopy&) = delete;

  void Init(const std::string& table, bool keep_identity) override {
    // SQLWCHAR is UTF-16 with unixODBC and Microsoft's driver.
    std::string wide = ConvertText(table, "UTF-8", "UTF-16LE");
    wide.append(2, '\0');
    if (init_(handle_, reinterpret_cast<const SQLWCHAR*>(wide.data()), nullptr, nullptr, kDbIn) !=
        kSucceed) {
      Raise(SQL_HANDLE_DBC, dbc_, "bcp_initW", encoding_);
    }
    if (keep_identity &&
        control_(handle_, kBcpKeepIdentity, reinterpret_cast<void*>(1)) != kSucceed) {
      Raise(SQL_HANDLE_DBC, dbc_, "bcp_control", encoding_);
    }
  }
  void Bind(int column, const std::string& value, bool null) override {
    if (bind_(handle_, reinterpret_cast<const unsigned char*>(value.data()), 0,
              null ? kNullData : static_cast<int>(value.size()), nullptr, 0, kSqlCharacter,
              column) != kSucceed) {
      Raise(SQL_HANDLE_DBC, dbc_, "bcp_bind", encoding_);
    }
  }
  bool SendRow() override { return send_(handle_) == kSucceed; }
  long Done() override { return done_(handle_); }
  const std::string& driver() const override { return driver_; }

 private:
  using InitFn = SQLRETURN (*)(void*, const SQLWCHAR*, const SQLWCHAR*, const SQLWCHAR*, int);
  using BindFn = SQLRETURN (*)(void*, const unsigned char*, int, int, const unsigned char*, int,
                               int, int);
  using SendFn = SQLRETURN (*)(void*);
  using CountFn = int (*)(void*);
  using ControlFn = SQLRETURN (*)(void*, int, void*);

  template <class Fn>
  Fn Symbol(const char* name) {
    void* found = dlsym(library_, name);
    if (found == nullptr) {
      dlclose(library_);
      NoBulkCopy(driver_, std::string("its library has no ") + name);
    }
    return reinterpret_cast<Fn>(found);
  }

  SQLHDBC dbc_;
  std::string driver_;
  std::string encoding_;
  void* library_ = nullptr;
  void* handle_ = nullptr;
  InitFn init_ = nullptr;
  BindFn bind_ = nullptr;
  SendFn send_ = nullptr;
  CountFn batch_ = nullptr;
  CountFn done_ = nullptr;
  ControlFn control_ = nullptr;
};

#ifdef KESTAL_WITH_BCP
// FreeTDS: odbcss.h's bcp_* on the driver manager's handle.
class FreeTdsBulkCopy : public BulkCopy {
 public:
  FreeTdsBulkCopy(SQLHDBC dbc, const std::string& driver, const std::string& encoding)
      : dbc_(dbc), driver_(driver), encoding_(encoding) {}

  void Init(const std::string& table, bool keep_identity) override {
    const std::string name =
        encoding_.empty() ? table : ConvertText(table, "UTF-8", encoding_.c_str());
    if (bcp_initA(dbc_, name.c_str(), nullptr, nullptr, BCP_DIRECTION_IN) != SUCCEED) {
      Raise(SQL_HANDLE_DBC, dbc_, "bcp_init", encoding_);
    }
    if (keep_identity) bcp_control(dbc_, BCPKEEPIDENTITY, reinterpret_cast<void*>(1));
  }
  void Bind(int column, const std::string& value, bool null) override {
    if (bcp_bind(dbc_, reinterpret_cast<const unsigned char*>(value.data()), 0,
                 null ? 0 : static_cast<int>(value.size()), nullptr, 0, BCP_TYPE_SQLCHAR,
                 column) != SUCCEED) {
      Raise(SQL_HANDLE_DBC, dbc_, "bcp_bind", encoding_);
    }
  }
  bool SendRow() override { return bcp_sendrow(dbc_) == SUCCEED; }
  long Done() override { return bcp_done(dbc_); }
  const std::string& driver() const override { return driver_; }

 private:
  SQLHDBC dbc_;
  std::string driver_;
  std::string encoding_;
};
#endif

}  // namespace

bool IsMicrosoftDriver(const std::string& connect_text) {
  return Contains(connect_text, "msodbcsql") ||
         (Contains(connect_text, "ODBC Driver") && Contains(connect_text, "for SQL Server"));
}

bool IsFreeTdsDriver(const std::string& driver) {
  return Contains(driver, "tdsodbc") || Contains(driver, "FreeTDS");
}

void RequestBulkCopy(SQLHDBC dbc, const std::string& connect_text) {
  if (!IsMicrosoftDriver(connect_text) && !IsFreeTdsDriver(connect_text)) return;
  // A driver that refuses it offers no bulk copy; OpenBulkCopy says so when
  // a load asks for it.
  SQLSetConnectAttr(dbc, kCoptSsBcp, reinterpret_cast<SQLPOINTER>(kBcpOn), SQL_IS_INTEGER);
}

std::unique_ptr<BulkCopy> OpenBulkCopy(SQLHDBC dbc, const std::string& driver,
                                       const std::string& encoding) {
  if (IsFreeTdsDriver(driver)) {
#ifdef KESTAL_WITH_BCP
    return std::make_unique<FreeTdsBulkCopy>(dbc, driver, encoding);
#else
    NoBulkCopy(driver, "this build has no FreeTDS bulk copy (odbcss.h of freetds-dev)");
#endif
  }
  return std::make_unique<DriverBulkCopy>(dbc, driver, encoding);
}

}  // namespace kestal::db::odbc
