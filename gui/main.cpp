#include <QApplication>
#include <QStyleFactory>
#include <cstdio>

#include "framework/Application.h"
#include "gui/DispatcherBridge.h"
#include "gui/DisplayCheck.h"
#include "gui/MainWindow.h"
#include "gui/QtInteraction.h"

int main(int argc, char** argv) {
    const std::string reason = portvale::MissingDisplayReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "portvale: %s\n", reason.c_str());
        return 2;
    }
    QApplication qt(argc, argv);
    portvale::Application().Title = "Portvale";
    portvale::DispatcherBridge bridge;
    portvale::MainWindow window;
    portvale::QtInteraction interaction(&window);
    portvale::Application().SetInteraction(&interaction);
    // Centred once shown, when the frame's decoration is known.
    window.show();
    window.CentreOnScreen();
    const int rc = QApplication::exec();
    portvale::Application().SetInteraction(nullptr);
    return rc;
}
