// Fuzz target: the ADO-style connection-string parser.
//
// What must hold: a refusal is _com_error(0x80004005) with a text, never
// another exception; every key of a parsed string is non-empty and trimmed,
// Get finds the last value of a key in any case; the pairs written back as
// a connection string (keys bare, values quoted) parse to the same pairs;
// Set replaces every value of a key and adds nothing when the key exists.
#include <strings.h>

#include <cctype>
#include <exception>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"

using kestal::db::ConnectionString;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Show(const Pairs& pairs) {
  std::string out;
  for (const auto& p : pairs) out += "[" + p.first + "]=[" + p.second + "] ";
  return out;
}

// The pairs as a connection string: each value in double quotes with its
// quotes doubled, so that ';', '=' and blanks survive.
std::string Serialise(const Pairs& pairs) {
  std::string out;
  for (const auto& p : pairs) {
    out += p.first + "=\"";
    for (char c : p.second) {
      if (c == '"') out += '"';
      out += c;
    }
    out += "\";";
  }
  return out;
}

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Parses text; false when refused (checked to be a proper refusal).
bool TryParse(const std::string& text, ConnectionString* out) {
  try {
    *out = ConnectionString::Parse(text);
    return true;
  } catch (const _com_error& e) {
    FUZZ_CHECK(e.Error() == kestal::db::kConnectionError, "status of a refusal");
    FUZZ_CHECK(!e.Description().IsEmpty(), "a refusal without a text");
    return false;
  } catch (const std::exception& e) {
    FUZZ_CHECK(false, std::string("Parse threw ") + e.what());
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  ConnectionString cs;
  if (!TryParse(text, &cs)) return 0;
  const Pairs pairs = cs.Pairs();
  for (const auto& p : pairs) {
    const std::string& key = p.first;
    FUZZ_CHECK(!key.empty(), "an empty key");
    FUZZ_CHECK(!IsBlank(key.front()) && !IsBlank(key.back()), "untrimmed key [" + key + "]");
    FUZZ_CHECK(key.find_first_of("=;") == std::string::npos, "key holds = or ; [" + key + "]");
    FUZZ_CHECK(cs.Has(key), "Has misses [" + key + "]");
    std::string last;
    for (const auto& q : pairs) {
      if (strcasecmp(q.first.c_str(), key.c_str()) == 0) last = q.second;
    }
    FUZZ_CHECK(cs.Get(key, "\x01") == last, "Get of [" + key + "]");
    std::string upper = key;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    FUZZ_CHECK(cs.Get(upper, "\x01") == last, "Get of [" + upper + "]");
  }

  // Written back, the pairs parse to the same pairs.
  const std::string again = Serialise(pairs);
  ConnectionString reparsed;
  FUZZ_CHECK(TryParse(again, &reparsed), "re-serialised text refused: " + again);
  FUZZ_CHECK(reparsed.Pairs() == pairs,
             "round trip: " + Show(pairs) + "-> " + Show(reparsed.Pairs()));

  // Set replaces in place, or adds one pair for a new key.
  if (!pairs.empty()) {
    const std::string key = pairs.front().first;
    ConnectionString changed = cs;
    changed.Set(key, "v;=\"");
    FUZZ_CHECK(changed.Pairs().size() == pairs.size(), "Set of an existing key added a pair");
    FUZZ_CHECK(changed.Get(key) == "v;=\"", "Set value not found");
  }
  ConnectionString added = cs;
  added.Set("Kestal Fuzz Key", "1");
  FUZZ_CHECK(added.Pairs().size() == pairs.size() + !cs.Has("Kestal Fuzz Key"), "Set of a new key");
  FUZZ_CHECK(added.GetFlag("KESTAL FUZZ KEY"), "GetFlag of a value 1");
  return 0;
}
