#pragma once
#include <string>

namespace portvale {

// Empty when Qt can open a window here; otherwise a plain sentence saying why not.
std::string MissingDisplayReason();

}  // namespace portvale
