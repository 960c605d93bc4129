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
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

}  // namespace portvale
