// `portvale-window`: the window, started by `portvale` in its own place (exec) once
// the command line is read and a display is named, so it takes the line as checked.
#include <sys/prctl.h>

#include <QApplication>
#include <QStyleFactory>
#include <memory>

#include "app/unPortvale.h"
#include "framework/Application.h"
#include "gui/DispatcherBridge.h"
#include "gui/Icons.h"
#include "gui/MainWindow.h"
#include "gui/QtInteraction.h"
#include "gui/QtStartGuard.h"

int main(int argc, char** argv) {
    using namespace portvale;
    // The process keeps the name it had before the exec, so ps, top and killall
    // still see "portvale", in every thread started from here on.
    ::prctl(PR_SET_NAME, "portvale", 0, 0, 0);
    QtStartGuard start;
    QApplication qt(argc, argv);
    start.Started();
    // Wayland names the window after the executable unless told: the desktop entry is
    // portvale.desktop, not the window program's file name.
    QGuiApplication::setDesktopFileName(QStringLiteral("portvale"));
    // One look on every desktop, so what the pictures and tests show is what runs.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(IconFor("icons/portvale.svg"));
    Application().Title = "Portvale";
    DispatcherBridge bridge;
    QtInteraction interaction;
    Application().SetInteraction(&interaction);

    std::unique_ptr<TForm1> form = TForm1::CreateMainWindow();
    int rc = 0;
    {
        MainWindow window(*form);
        interaction.SetParent(&window);
        // Centred once shown, when the frame's decoration is known.
        window.show();
        window.CentreOnScreen();
        rc = QApplication::exec();
        interaction.SetParent(nullptr);
        window.DetachPeers();
    }
    // Closing the port and the sockets may still report; with no window left the
    // reports go to standard error rather than to boxes nobody asked for.
    Application().SetInteraction(nullptr);
    form.reset();
    return rc;
}
