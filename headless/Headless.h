#pragma once
// The console front end, without a window: `portvale --headless` runs one bridge
// from the window's settings files and the command line (SingleBridge.h), or every
// bridge of a configuration file (Service.h), until SIGINT or SIGTERM.
//
// Threading: everything runs on the calling thread, which becomes the GUI thread
// (the capture file's writer excepted); SIGINT, SIGTERM, SIGUSR1 and SIGHUP are blocked in
// every thread and read from a signalfd by the dispatcher, so a signal never
// interrupts a handler halfway.
//
// Output: status changes (the two status lines), message boxes, the counters (on SIGUSR1
// and at the end) and the capture's troubles go to standard error, one line each,
// stamped "YYYY-MM-DD HH:MM:SS.mmm" in local time; with --log each shown block goes
// to standard output with its direction.

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace portvale::headless {

// Blocks the signals the run reads (SIGINT, SIGTERM, SIGUSR1, SIGHUP) in the calling thread;
// call before any thread starts, so every thread inherits the mask.
void BlockTerminationSignals();

// The signals the run reads from a signalfd: SIGINT, SIGTERM, SIGUSR1, SIGHUP.
sigset_t HandledSignals();
// A signalfd that reads them, or -1 after saying why on standard error.
int HandledSignalsFd();
const char* SignalName(std::uint32_t signal);

class ServiceManager;
// Runs the dispatcher until a signal read from `signals` stops the run: `handle`
// takes each first and says whether it dealt with it; any other signal is told
// (a line on standard error, and the service manager) and stops.
void RunUntilStopSignal(int signals, ServiceManager& manager, const std::function<bool(std::uint32_t)>& handle);

// One line on standard error, stamped with the local time.
void PrintLine(const std::string& text);

// The whole `portvale --headless` run; the process's exit code.
int RunHeadless(const std::vector<std::string>& args);

// "YYYY-MM-DD HH:MM:SS.mmm" for now, in local time.
std::string LocalTimeStamp();

}  // namespace portvale::headless
