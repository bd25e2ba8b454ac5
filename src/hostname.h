// The machine's host name as the hostname command prints it: spawned, read
// and reaped once at start-up, on the main thread before any worker exists.
// Takes no lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::string_view FALLBACK_HOST = "morun-node";
// hostname is killed if it has not finished within this time.
inline constexpr std::chrono::seconds HOSTNAME_TIMEOUT{5};
// Only this much of what hostname prints on standard output is kept; the rest
// is read and dropped, so the node's memory does not depend on the program.
inline constexpr std::size_t HOSTNAME_OUTPUT_LIMIT = 4096;

// Runs `hostname` from the search path with no arguments, empty standard input
// and both outputs captured, and returns the first 4 KiB of its standard
// output decoded and trimmed, whatever its exit status. Both outputs are read
// to their end, standard error dropped. A command that runs longer than
// `timeout` is killed and what it printed so far is used. Returns
// "morun-node" when the command cannot be started. The child is always
// reaped, also when SIGCHLD is ignored, and never signalled once reaped;
// every descriptor opened here is closed before it returns.
std::string read_host_name(std::chrono::milliseconds timeout);
