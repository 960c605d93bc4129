#pragma once
// Whether the window can open here, and what the user reads when it cannot: one plain
// sentence on standard error and exit code 2, never Qt's abort with its advice to
// reinstall. No Qt in here: `portvale` asks before it starts the window program, so
// a missing display is answered without loading the toolkit; QtStartGuard.h covers
// a display that is named but turns out to be unreachable once Qt tries it.

#include <string>

namespace portvale {

// Empty when Qt can open a window here; otherwise a plain sentence saying why not.
std::string MissingDisplayReason();

// The sentence for a display that is named but cannot be reached (no server behind
// DISPLAY, a refused X authority, a Wayland socket gone).
std::string UnreachableDisplayReason();

}  // namespace portvale
