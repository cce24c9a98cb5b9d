// The modal message box of a desktop host, reduced to a replaceable handler.
// By default the text is written to standard error as one line; a host (or a
// test) installs its own handler to show or capture it.
#pragma once

#include <functional>

#include "platform/String.h"

constexpr unsigned MB_OK = 0;

using MessageBoxHandler = std::function<void(const CString& text)>;

// Shows text with a single OK button; returns IDOK (1) when the handler returns.
int AfxMessageBox(const CString& text, unsigned type = MB_OK);
// Installs handler (an empty one restores the default); returns the previous.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
