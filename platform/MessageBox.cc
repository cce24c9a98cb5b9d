#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;  // guards g_handler
MessageBoxHandler g_handler;
}  // namespace

int AfxMessageBox(const CString& text, unsigned /*type*/) {
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
  }
  if (handler) {
    handler(text);
  } else {
    std::fprintf(stderr, "kestal: %s\n", text.c_str());
  }
  return 1;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_mutex);
  MessageBoxHandler previous = std::move(g_handler);
  g_handler = std::move(handler);
  return previous;
}
