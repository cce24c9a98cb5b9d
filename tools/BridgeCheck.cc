// The plan of kestal bridge --check: the fields with their columns, the
// resume point, what is waiting, and the statements --create-table would
// run. Nothing is copied or created, and the table claim is held only while
// Inspect looks whether another bridge has it.
#include "tools/BridgeCheck.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "tools/BridgeRecord.h"
#include "tools/ToolError.h"

namespace kestal::tool {
namespace {

const char* ModeName(int mode) {
  switch (mode) {
    case 1:
      return "INSERT statements numbered by the server";
    case 2:
      return "bulk load";
    default:
      return "INSERT statements";
  }
}

// printf into a string.
void Add(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(std::string* out, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *out += line;
}

std::string Plan(const Bridge& bridge, const BridgeConfig& config, const std::string& name) {
  std::string out;
  if (!name.empty()) Add(&out, "bridge: %s\n", name.c_str());
  out += "file: " + config.dbf_path + ", " + std::to_string(bridge.file_count()) + " records\n";
  out += "table: " + config.table +
         (bridge.create_statement().empty() ? "" : " (missing; --create-table creates it)") + "\n";
  out += "fields:\n";
  std::string unmapped;
  for (const FieldPlan& f : bridge.plan()) {
    if (f.column.empty()) {
      Add(&out, "  %-10s %-8s (not copied)\n", f.field.c_str(), f.field_type.c_str());
      unmapped += (unmapped.empty() ? "" : ", ") + f.field;
    } else {
      Add(&out, "  %-10s %-8s -> ", f.field.c_str(), f.field_type.c_str());
      out += f.column + " " + f.column_type + "\n";
    }
  }
  out += "unmapped fields: " + (unmapped.empty() ? std::string("none") : unmapped) + "\n";
  for (const std::string& column : bridge.unfilled()) {
    out += "filled by the database: " + column + "\n";
  }
  Add(&out, "resume point: %ld\n", bridge.position());
  Add(&out, "records waiting: %ld\n", bridge.file_count() - bridge.position());
  Add(&out, "mode: %d (%s), batch %d\n", config.mode, ModeName(config.mode), bridge.batch());
  out += config.reject_path.empty() ? "refused records: stop the bridge\n"
                                    : "refused records: set aside in " + config.reject_path + "\n";
  if (!bridge.create_statement().empty()) out += "create: " + bridge.create_statement() + "\n";
  out += "the bridge would run\n";
  return out;
}

}  // namespace

int RunBridgeCheck(const BridgeConfig& config, const std::string& name, const std::string& label) {
  Bridge bridge(config, [&label](const std::string& text) {
    fprintf(stderr, "%s: %s\n", label.c_str(), text.c_str());
  });
  try {
    bridge.Inspect();
  } catch (const std::exception& e) {
    // Wrong field maps and a claimed table count as "would not run" here.
    fprintf(stderr, "%s: %s\n", label.c_str(), e.what());
    const std::string out =
        (name.empty() ? std::string() : "bridge: " + name + "\n") + "the bridge would not run\n";
    fputs(out.c_str(), stdout);
    fflush(stdout);
    return kExitError;
  }
  fputs(Plan(bridge, config, name).c_str(), stdout);
  fflush(stdout);
  return kExitOk;
}

}  // namespace kestal::tool
