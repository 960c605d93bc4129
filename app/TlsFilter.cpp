#include "app/TlsFilter.h"

#include <sys/stat.h>

#include "framework/SysUtils.h"

namespace portvale {

std::string TTlsFilter::KeyFileWarning(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return {};
    return Format("Warning: the key %s may be read by others than its owner (mode %04o); chmod 600 it",
                  path.c_str(), static_cast<unsigned>(st.st_mode & 07777));
}

}  // namespace portvale
