#include "gui/Icons.h"

#include <QString>

// Resources compiled into a static library are only linked in when something
// refers to them; this reference is it. Qt's macro must stand outside any namespace.
static void LoadIconResources() { Q_INIT_RESOURCE(icons); }

namespace portvale {

QIcon IconFor(const std::string& resource) {
    static const bool loaded = (LoadIconResources(), true);
    (void)loaded;
    return QIcon(QStringLiteral(":/") + QString::fromStdString(resource));
}

}  // namespace portvale
