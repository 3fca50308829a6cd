#pragma once
// Waiting for a window's first drawing, for work that can come after it.

#include <chrono>

class QWidget;

// Runs the event loop until `window` has been drawn on the screen for the first
// time, or until `limit` has passed (a window the screen does not expose); a
// window that has no native window yet is not waited for. The user's input that arrives meanwhile is held back, not lost: it
// is delivered by the next event loop that takes input, so no handler sees it
// before the caller's work after this is done.
void WaitForFirstPaint(QWidget& window, std::chrono::milliseconds limit);
