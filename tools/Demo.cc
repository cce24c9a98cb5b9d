#include "tools/Commands.h"
namespace kestal::tool {
int RunDemo(const Args&) {
  return 0;
}
}  // namespace kestal::tool
