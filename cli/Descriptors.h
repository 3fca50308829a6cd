#pragma once
// File descriptors for many fixtures: the process raises its limit to the hard limit at
// start, and a run with more ports than descriptors says so before it opens any.

#include <cstddef>
#include <string>
#include <vector>

#include "cli/LinkOptions.h"

// What one open link holds: a serial port its device, the wake-up of its event thread
// and a spare for the component's own; a TCP link its socket and its wake-up.
inline constexpr size_t SerialLinkDescriptors = 3;
inline constexpr size_t TcpLinkDescriptors = 2;
// Kept for the journal (database, write-ahead log, shared memory), the input, the
// report and the standard streams.
inline constexpr size_t ReservedDescriptors = 16;

// Raises the soft limit of open files to the hard one.
void RaiseDescriptorLimit();

// Why the links cannot all be open at once, or empty when they can: "256 ports need 784
// descriptors, and this process may have 512 (its hard limit, see ulimit -Hn), 6 of them
// in use: 163 ports fit". limit and inUse are passed in so the rule is tested alone.
std::string DescriptorShortfall(const std::vector<TLinkSettings>& links, size_t limit, size_t inUse);
// The same for this process now.
std::string DescriptorShortfall(const std::vector<TLinkSettings>& links);
