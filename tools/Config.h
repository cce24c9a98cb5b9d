// Configuration files of the long-running commands ("--config FILE"): a TOML
// file whose keys are the command's option names and the names of its
// positional arguments. Top-level keys hold one command's settings; a command
// with a group ("bridge") also takes several named tables [bridge.NAME], each
// one run of the command, with the top-level keys as their defaults.
//
// What must hold: a flag on the command line always wins over the file; a key
// the command does not know, a value of the wrong kind and a secret in a file
// that others may read are refused, naming the file, the line and the key.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/Options.h"

namespace kestal::tool {

// What a command reads from a configuration file.
struct ConfigShape {
  const char* command;                  // "kestal bridge", for messages
  std::vector<std::string> positional;  // the keys of the positional arguments, in order
  const char* connect_key;              // the positional key holding the connection string
  const char* group;                    // "bridge": [bridge.NAME] tables; nullptr: none
};

// One value of the file: the text of a scalar, the texts of an array's
// elements, or a boolean.
struct ConfigValue {
  std::vector<std::string> texts;
  bool is_bool = false;
  bool truth = false;
  bool is_array = false;
  bool is_text = false;  // a TOML string (not a number)
  long line = 0;
};

// The settings of one run of the command: the file's top level merged with
// one named table. Fills an Options (OptionSource) where its command line
// left something out.
class ConfigSection : public OptionSource {
 public:
  ConfigSection(const std::string& path, const std::string& name, const ConfigShape& shape)
      : path_(path), name_(name), shape_(shape) {}

  const std::string& name() const { return name_; }
  // Adds or replaces key.
  void Put(const std::string& key, const ConfigValue& value) { values_[key] = value; }
  const std::map<std::string, ConfigValue>& values() const { return values_; }

  void Fill(Options* opts, std::initializer_list<OptionDef> defs) const override;

  // The message of a UsageError raised for this section's options: when it
  // names an option that came from the file ("'--batch'"), it is prefixed
  // with the file, line and key, so that the operator knows where to look.
  std::string Located(const std::string& message) const;

  // "FILE:LINE: " and, for a named table, "bridge 'NAME': ", for key.
  std::string Where(const std::string& key) const;

 private:
  std::string path_;
  std::string name_;
  const ConfigShape& shape_;
  std::map<std::string, ConfigValue> values_;
  mutable std::vector<std::string> applied_;  // option keys Fill took from the file
};

// Reads the configuration file at path: one section for the top level when
// the file has no named tables, else one per named table. Throws ToolError
// when the file cannot be read or holds a password while others may read it
// (naming the path and mode), UsageError for a file that is not TOML or does
// not fit shape (naming the path, line and key). Without TOML support in the
// build, throws ToolError saying so.
std::vector<ConfigSection> LoadConfig(const std::string& path, const ConfigShape& shape);

// True when this build reads configuration files.
bool ConfigSupported();

}  // namespace kestal::tool
