#include "gui/MainWindow.h"

#include <QGuiApplication>
#include <QScreen>

#include "framework/Application.h"

namespace portvale {

MainWindow::MainWindow() {
    setWindowTitle(QString::fromStdString(Application().Title));
    resize(800, 600);
}

void MainWindow::CentreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // A small screen gets a smaller window rather than one hanging off its edges.
    const QRect available = screen->availableGeometry();
    const QSize decoration = frameGeometry().size() - size();
    const QSize room = available.size() - decoration;
    if (width() > room.width() || height() > room.height()) resize(size().boundedTo(room));
    QRect frame = frameGeometry();
    frame.moveCenter(available.center());
    move(frame.topLeft());
}

}  // namespace portvale
