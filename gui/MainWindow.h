#pragma once
// The program's first window: captioned with the application title, centred on the
// screen. The real main window replaces it.

#include <QMainWindow>

namespace portvale {

class MainWindow : public QMainWindow {
public:
    MainWindow();
    void CentreOnScreen();
};

}  // namespace portvale
