#pragma once
// `portvale --headless --config FILE`: every bridge of the file in one process, on
// the calling thread's dispatcher, until SIGINT or SIGTERM. SIGHUP reads the file
// again: bridges whose settings did not change are not touched (their connections
// and queues live on), changed ones restart, removed ones stop, new ones start; a
// file that cannot be read keeps everything as it was and says why. SIGUSR1 prints
// each bridge's counters; the file's [service] metrics address serves them over HTTP
// too (MetricsServer.h), moved or ended by a reload.
//
// Output: standard error, one stamped line each, every bridge's lines beginning with
// its name in brackets ("[plc1] Client Connected 10.0.0.5:40312").

#include <string>

namespace portvale::headless {

// The process's exit code: 0 stopped by a signal, 2 a file that cannot be read or
// is wrong (nothing started), 1 a bridge that could not be made at all.
int RunService(const std::string& configPath);

}  // namespace portvale::headless
