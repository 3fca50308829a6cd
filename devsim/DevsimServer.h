#pragma once
// The simulator's one poll loop: a TCP listener and its clients, the pseudo-terminal, the
// signal descriptor and the reply timers. Single-threaded; replies that the faults delay
// wait in a timer list that sets the poll time-out, so no client waits on another.

#include "devsim/DevsimOptions.h"

// Serves until SIGINT or SIGTERM; returns the exit code (DevsimSuccess and so on).
// Writes its lines to standard output and its warnings and errors to standard error.
int RunDevsimServer(const TDevsimOptions& options);
