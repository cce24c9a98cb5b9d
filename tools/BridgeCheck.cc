// The plan of kestal bridge --check: the fields with their columns, the
// resume point, what is waiting, and the statements --create-table would
// run. Nothing is copied or created, and the table claim is held only while
// Inspect looks whether another bridge has it.
#include "tools/BridgeCheck.h"

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

void PrintPlan(const Bridge& bridge, const BridgeConfig& config) {
  printf("file: %s, %ld records\n", config.dbf_path.c_str(), bridge.file_count());
  printf("table: %s%s\n", config.table.c_str(),
         bridge.create_statement().empty() ? "" : " (missing; --create-table creates it)");
  printf("fields:\n");
  std::string unmapped;
  for (const FieldPlan& f : bridge.plan()) {
    if (f.column.empty()) {
      printf("  %-10s %-8s (not copied)\n", f.field.c_str(), f.field_type.c_str());
      unmapped += (unmapped.empty() ? "" : ", ") + f.field;
    } else {
      printf("  %-10s %-8s -> %s %s\n", f.field.c_str(), f.field_type.c_str(), f.column.c_str(),
             f.column_type.c_str());
    }
  }
  printf("unmapped fields: %s\n", unmapped.empty() ? "none" : unmapped.c_str());
  for (const std::string& column : bridge.unfilled()) {
    printf("filled by the database: %s\n", column.c_str());
  }
  printf("resume point: %ld\n", bridge.position());
  printf("records waiting: %ld\n", bridge.file_count() - bridge.position());
  printf("mode: %d (%s), batch %d\n", config.mode, ModeName(config.mode), bridge.batch());
  if (config.reject_path.empty()) {
    printf("refused records: stop the bridge\n");
  } else {
    printf("refused records: set aside in %s\n", config.reject_path.c_str());
  }
  if (!bridge.create_statement().empty()) printf("create: %s\n", bridge.create_statement().c_str());
  printf("the bridge would run\n");
}

}  // namespace

int RunBridgeCheck(const BridgeConfig& config) {
  Bridge bridge(config, [](const std::string& text) {
    fprintf(stderr, "kestal bridge: %s\n", text.c_str());
  });
  try {
    bridge.Inspect();
  } catch (const std::exception& e) {
    // Wrong field maps and a claimed table count as "would not run" here.
    fprintf(stderr, "kestal bridge: %s\n", e.what());
    printf("the bridge would not run\n");
    return kExitError;
  }
  PrintPlan(bridge, config);
  return kExitOk;
}

}  // namespace kestal::tool
