// Reading of configuration files (Config.h) with toml++, and their merge
// into a command's options. The file is read once, before any work starts;
// a password in it is merged into the connection string and never printed.
#include "tools/Config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "sql/db/ComError.h"
#include "sql/db/ConnectionString.h"
#include "tools/ToolError.h"

#ifdef KESTAL_WITH_TOML
#include <toml++/toml.h>
#endif

namespace kestal::tool {
namespace {

// The key that holds the database password; merged into the connection
// string, never an option.
const char kPasswordKey[] = "password";

// The kind of value def wants, for messages.
std::string Wants(const OptionDef& def) {
  if (!def.takes_value) return "true or false";
  return def.repeatable ? "a value or an array of values" : "a value (text or number)";
}

// The file's bytes, read through an open descriptor whose mode is *mode.
std::string ReadWhole(const std::string& path, mode_t* mode) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    throw ToolError("cannot open the configuration file '" + path + "': " + strerror(errno));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    throw ToolError("cannot read the configuration file '" + path + "': " + strerror(err));
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    throw ToolError("cannot read the configuration file '" + path + "': not a regular file");
  }
  *mode = st.st_mode;
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      throw ToolError("cannot read the configuration file '" + path + "': " + strerror(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// True when the connection string connect carries a password of its own.
bool HoldsPassword(const std::string& connect) {
  try {
    const auto cs = kestal::db::ConnectionString::Parse(connect);
    return cs.Has("Password") || cs.Has("PWD");
  } catch (const _com_error&) {
    return kestal::db::MaskPasswords(connect) != connect;
  }
}

// value as a double-quoted connection-string value.
std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

#ifdef KESTAL_WITH_TOML

long LineOf(const toml::node& node) {
  return static_cast<long>(node.source().begin.line);
}

// "FILE:LINE: " of node.
std::string At(const std::string& path, const toml::node& node) {
  return path + ":" + std::to_string(LineOf(node)) + ": ";
}

// The text of a scalar node; false for a node that is not one.
bool ScalarText(const toml::node& node, std::string* text) {
  if (const auto* s = node.as_string()) {
    *text = s->get();
  } else if (const auto* i = node.as_integer()) {
    *text = std::to_string(i->get());
  } else if (const auto* f = node.as_floating_point()) {
    std::ostringstream out;
    out << f->get();
    *text = out.str();
  } else {
    return false;
  }
  return true;
}

// The value of key from node; throws UsageError for a table, a date or an
// array of anything but scalars.
ConfigValue ValueOf(const std::string& path, const std::string& where, const std::string& key,
                    const toml::node& node) {
  ConfigValue v;
  v.line = LineOf(node);
  std::string text;
  if (const auto* b = node.as_boolean()) {
    v.is_bool = true;
    v.truth = b->get();
  } else if (ScalarText(node, &text)) {
    v.texts.push_back(text);
    v.is_text = node.is_string();
  } else if (const auto* a = node.as_array()) {
    v.is_array = true;
    for (const toml::node& e : *a) {
      if (!ScalarText(e, &text)) {
        throw UsageError(At(path, e) + where + "key '" + key +
                         "' holds an array element that is not text or a number");
      }
      v.texts.push_back(text);
    }
  } else {
    throw UsageError(At(path, node) + where + "key '" + key +
                     "' wants text, a number, true or false, or an array; not a table or date");
  }
  return v;
}

// Puts every key of table into section, except the group table.
void PutAll(const std::string& path, const std::string& where, const toml::table& table,
            const ConfigShape& shape, ConfigSection* section) {
  for (const auto& [k, node] : table) {
    const std::string key(k.str());
    if (shape.group != nullptr && key == shape.group && where.empty()) continue;
    section->Put(key, ValueOf(path, where, key, node));
  }
}

// Merges the password key of section into its connection string.
void MergePassword(const ConfigShape& shape, ConfigSection* section) {
  auto it = section->values().find(kPasswordKey);
  if (it == section->values().end()) return;
  const ConfigValue password = it->second;
  const std::string where = section->Where(kPasswordKey);
  if (!password.is_text) {
    throw UsageError(where + "key 'password' wants text");
  }
  auto c = section->values().find(shape.connect_key);
  if (c == section->values().end() || !c->second.is_text) {
    throw UsageError(where + "key 'password' needs the key '" + shape.connect_key + "' too");
  }
  ConfigValue connect = c->second;
  if (HoldsPassword(connect.texts[0])) {
    throw UsageError(where + "key 'password' and a password in '" + shape.connect_key +
                     "': keep only one");
  }
  std::string text = connect.texts[0];
  while (!text.empty() && (text.back() == ' ' || text.back() == ';')) text.pop_back();
  connect.texts[0] = text + ";Password=" + Quoted(password.texts[0]);
  section->Put(shape.connect_key, connect);
}

std::vector<ConfigSection> Parse(const std::string& path, const std::string& text,
                                 const ConfigShape& shape) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    throw UsageError(path + ":" + std::to_string(e.source().begin.line) +
                     ": not a TOML file: " + std::string(e.description()));
  }
  ConfigSection top(path, "", shape);
  PutAll(path, "", root, shape, &top);
  std::vector<ConfigSection> out;
  const toml::node* group = shape.group != nullptr ? root.get(shape.group) : nullptr;
  if (group != nullptr) {
    const toml::table* named = group->as_table();
    if (named == nullptr || named->empty()) {
      throw UsageError(At(path, *group) + "'" + shape.group + "' wants tables [" + shape.group +
                       ".NAME], one for each " + shape.group);
    }
    for (const auto& [k, node] : *named) {
      const std::string name(k.str());
      const toml::table* own = node.as_table();
      if (own == nullptr) {
        throw UsageError(At(path, node) + "'" + shape.group + "." + name + "' wants a table [" +
                         shape.group + "." + name + "]");
      }
      ConfigSection section(path, name, shape);
      for (const auto& [key, value] : top.values()) section.Put(key, value);
      PutAll(path, std::string(shape.group) + " '" + name + "': ", *own, shape, &section);
      out.push_back(section);
    }
  } else {
    out.push_back(top);
  }
  for (ConfigSection& s : out) MergePassword(shape, &s);
  return out;
}

#endif  // KESTAL_WITH_TOML

}  // namespace

bool ConfigSupported() {
#ifdef KESTAL_WITH_TOML
  return true;
#else
  return false;
#endif
}

std::string ConfigSection::Where(const std::string& key) const {
  auto it = values_.find(key);
  std::string where = path_;
  if (it != values_.end() && it->second.line > 0) where += ":" + std::to_string(it->second.line);
  where += ": ";
  if (!name_.empty() && shape_.group != nullptr) {
    where += std::string(shape_.group) + " '" + name_ + "': ";
  }
  return where;
}

void ConfigSection::Fill(Options* opts, std::initializer_list<OptionDef> defs) const {
  applied_.clear();
  // The positional arguments: all from the command line, or all from here;
  // named bridges each need their own.
  if (!opts->positional().empty() && !name_.empty()) {
    throw UsageError(path_ + ": arguments on the command line would give every bridge of the " +
                     "file the same table; give them in each [" + shape_.group + ".NAME]");
  }
  if (opts->positional().empty()) {
    std::vector<std::string> given;
    for (const std::string& key : shape_.positional) {
      auto it = values_.find(key);
      if (it == values_.end()) {
        throw UsageError(Where(key) + "no key '" + key +
                         "' (nor the argument on the command line)");
      }
      if (!it->second.is_text) throw UsageError(Where(key) + "key '" + key + "' wants text");
      given.push_back(it->second.texts[0]);
    }
    opts->SetPositional(given);
  }
  for (const auto& [key, value] : values_) {
    bool positional = key == kPasswordKey;
    for (const std::string& p : shape_.positional) positional = positional || key == p;
    if (positional) continue;
    const OptionDef* def = nullptr;
    for (const OptionDef& d : defs) {
      if (key == d.name) def = &d;
    }
    if (def == nullptr || key == "config") {
      throw UsageError(Where(key) + "unknown key '" + key + "'; " + shape_.command +
                       " --help lists the options, which are the keys");
    }
    const bool fits =
        def->takes_value ? !value.is_bool && (def->repeatable || !value.is_array) : value.is_bool;
    if (!fits) throw UsageError(Where(key) + "key '" + key + "' wants " + Wants(*def));
    if (opts->Has(key)) continue;  // the command line wins
    applied_.push_back(key);
    if (!def->takes_value) {
      if (value.truth) opts->Set(key, "");
      continue;
    }
    for (const std::string& text : value.texts) opts->Add(key, text);
  }
}

std::string ConfigSection::Located(const std::string& message) const {
  for (const std::string& key : applied_) {
    if (message.find("'--" + key + "'") != std::string::npos) {
      return Where(key) + "key '" + key + "': " + message;
    }
  }
  return message;
}

std::vector<ConfigSection> LoadConfig(const std::string& path, const ConfigShape& shape) {
#ifdef KESTAL_WITH_TOML
  mode_t mode = 0;
  const std::string text = ReadWhole(path, &mode);
  std::vector<ConfigSection> sections = Parse(path, text, shape);
  bool secret = false;
  for (const ConfigSection& s : sections) {
    auto it = s.values().find(shape.connect_key);
    secret =
        secret || s.values().count(kPasswordKey) != 0 ||
        (it != s.values().end() && !it->second.texts.empty() && HoldsPassword(it->second.texts[0]));
  }
  if (secret && (mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
    char octal[16];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    throw ToolError("the configuration file '" + path + "' holds a password but its mode " + octal +
                    " lets others read or change it; make it readable by its owner alone (chmod " +
                    "600 '" + path + "')");
  }
  return sections;
#else
  (void)shape;
  throw ToolError("cannot read the configuration file '" + path +
                  "': this kestal was built without TOML support (libtomlplusplus-dev)");
#endif
}

}  // namespace kestal::tool
