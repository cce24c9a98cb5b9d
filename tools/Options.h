// Parsing of a command's arguments: positional arguments and long options
// ("--from 5" or "--from=5"). "--" ends the options.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace kestal::tool {

struct OptionDef {
  const char* name;  // without the leading "--"
  bool takes_value;
  bool repeatable = false;  // may be given more than once; every value is kept
};

// The one wording of a bad option value: "option '--NAME' wants WANTS, not
// 'VALUE'".
std::string BadOptionValue(const std::string& name, const std::string& wants,
                           const std::string& value);

class Options;

// Values of a command's options and positional arguments from elsewhere than
// the command line (a configuration file, Config.h). The next Options built
// on the thread takes them where its command line left them out.
class OptionSource {
 public:
  virtual ~OptionSource() = default;
  // Fills in what opts lacks; throws UsageError for a value defs do not take.
  virtual void Fill(Options* opts, std::initializer_list<OptionDef> defs) const = 0;
};

// Hands source to the next Options built on this thread (once; nullptr:
// none). The source must outlive that construction.
void SetOptionSource(const OptionSource* source);

class Options {
 public:
  // Throws UsageError for an unknown option or an option without its value.
  // "--help" and "-h" are always known.
  Options(const std::vector<std::string>& args, std::initializer_list<OptionDef> defs);

  bool help() const { return help_; }
  const std::vector<std::string>& positional() const { return positional_; }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // Sets the option's value, as if given once (replacing earlier values).
  void Set(const std::string& name, const std::string& value) { values_[name] = {value}; }
  // Adds one more value to a repeatable option, as if given again.
  void Add(const std::string& name, const std::string& value) { values_[name].push_back(value); }
  // Replaces the positional arguments.
  void SetPositional(const std::vector<std::string>& values) { positional_ = values; }
  // The option's value (the last one given), or fallback when it was not given.
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  // Every value given for the option, in order; empty when it was not given.
  std::vector<std::string> GetAll(const std::string& name) const;
  // The option's value as a whole decimal number within [min, max]; throws
  // UsageError for anything else.
  long GetLong(const std::string& name, long fallback, long min, long max) const;
  // Throws UsageError unless exactly count positional arguments were given;
  // what names them in the message ("FILE").
  void ExpectPositional(size_t count, const char* what) const;
  // Takes an option given under its old name old_name as new_name (unless
  // new_name was given too), with a notice on stderr under the command path
  // prefix: old spellings keep working for one release.
  void Rename(const std::string& old_name, const std::string& new_name, const std::string& prefix);

 private:
  bool help_ = false;
  std::vector<std::string> positional_;
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> sourced_;  // options an OptionSource filled in
};

}  // namespace kestal::tool
