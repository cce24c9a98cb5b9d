#include "tools/Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

thread_local const OptionSource* t_source = nullptr;

}  // namespace

void SetOptionSource(const OptionSource* source) {
  t_source = source;
}

std::string BadOptionValue(const std::string& name, const std::string& wants,
                           const std::string& value) {
  return "option '--" + name + "' wants " + wants + ", not '" + value + "'";
}

Options::Options(const std::vector<std::string>& args, std::initializer_list<OptionDef> defs) {
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.size() < 2 || a[0] != '-') {
      positional_.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      help_ = true;
      continue;
    }
    if (a.compare(0, 2, "--") != 0) throw UsageError("unknown option '" + a + "'");
    std::string name = a.substr(2);
    std::string value;
    bool has_inline = false;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_inline = true;
    }
    const OptionDef* def = nullptr;
    for (const OptionDef& s : defs) {
      if (name == s.name) def = &s;
    }
    if (def == nullptr) throw UsageError("unknown option '--" + name + "'");
    if (def->takes_value && !has_inline) {
      if (i + 1 >= args.size()) throw UsageError("option '--" + name + "' needs a value");
      value = args[++i];
    } else if (!def->takes_value && has_inline) {
      throw UsageError("option '--" + name + "' takes no value");
    }
    // A repeatable option keeps every value; any other keeps the last one.
    std::vector<std::string>& given = values_[name];
    if (!def->repeatable) given.clear();
    given.push_back(value);
  }
  if (const OptionSource* source = t_source) {
    t_source = nullptr;
    const auto given = values_;
    source->Fill(this, defs);
    for (const auto& [name, v] : values_) {
      if (given.count(name) == 0) sourced_.push_back(name);
    }
  }
}

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() || it->second.empty() ? fallback : it->second.back();
}

std::vector<std::string> Options::GetAll(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>() : it->second;
}

long Options::GetLong(const std::string& name, long fallback, long min, long max) const {
  auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return fallback;
  const std::string& text = it->second.back();
  char* end = nullptr;
  errno = 0;
  long v = text.empty() ? 0 : strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
    throw UsageError(BadOptionValue(
        name, "a whole number from " + std::to_string(min) + " to " + std::to_string(max), text));
  }
  return v;
}

void Options::ExpectPositional(size_t count, const char* what) const {
  if (positional_.size() < count) throw UsageError(std::string("missing ") + what);
  if (positional_.size() > count) {
    throw UsageError("unexpected argument '" + positional_[count] + "'");
  }
}

void Options::Rename(const std::string& old_name, const std::string& new_name,
                     const std::string& prefix) {
  auto it = values_.find(old_name);
  if (it == values_.end()) return;
  fprintf(stderr, "%s: '--%s' is now '--%s'; the old spelling goes in the next release\n",
          prefix.c_str(), old_name.c_str(), new_name.c_str());
  // The old spelling on the command line wins over the new one from a file.
  bool sourced = false;
  for (const std::string& name : sourced_) sourced = sourced || name == new_name;
  if (values_.count(new_name) == 0 || sourced) values_[new_name] = it->second;
  values_.erase(it);
}

}  // namespace kestal::tool
