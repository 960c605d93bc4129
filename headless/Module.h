#pragma once
// The program's private modules (portvale-tls.so, portvale-metrics.so): shared
// objects opened only when a run needs what they hold, found beside the program in
// the build tree and in the package's private library folder once installed. Each
// is opened once and kept for the life of the process.

#include <string>

namespace portvale::headless {

// The address of `symbol` in the module `file`; null with the reason in `error`.
void* ModuleEntry(const std::string& file, const char* symbol, std::string& error);

}  // namespace portvale::headless
