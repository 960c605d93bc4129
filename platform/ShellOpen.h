#pragma once
// Opening a document or web address with the desktop's handler, as a shell "open"
// does. The opener is injectable so tests can see what would have been opened.

#include <functional>
#include <string>

namespace portvale {

// Returns whether the handler could be started; what it does then is its own affair.
using TShellOpener = std::function<bool(const std::string& target)>;

// Starts `xdg-open target` without waiting for it; false when xdg-open is not
// installed (not on PATH) or no process could be started.
bool XdgOpen(const std::string& target);

// The opener in use (XdgOpen unless replaced); SetShellOpener({}) restores it.
bool ShellOpen(const std::string& target);
void SetShellOpener(TShellOpener opener);

}  // namespace portvale
