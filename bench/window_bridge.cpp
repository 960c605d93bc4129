// The window as a bridge, for bridge_bench.py: the real main window (its controls,
// Qt peers and panes), set up through its controls as a user would and started with
// "Com-Port On" and "TCP Listen". Status panel 0 goes to standard error, so the
// benchmark sees "Client Connected" as it does in headless mode's log.
//
//   window_bridge --port P --serial DEV [--format string|binary|decimal|hex] [--panes off]
//
// --panes off shows nothing in the panes: the cost of the window's loop alone.
//
// Runs until SIGTERM or SIGINT, then closes the window and exits 0. Use
// QT_QPA_PLATFORM=offscreen to run it without a display.
#include <signal.h>

#include <QApplication>
#include <QStyleFactory>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/unPortvale.h"
#include "framework/Application.h"
#include "gui/DispatcherBridge.h"
#include "gui/MainWindow.h"
#include "gui/QtInteraction.h"

namespace {

std::atomic<bool> stopRequested{false};

void RequestStop(int) { stopRequested = true; }

int FormatIndex(const std::string& name) {
    const char* names[] = {"string", "binary", "decimal", "hex"};
    for (int i = 0; i < 4; ++i)
        if (name == names[i]) return i;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace portvale;
    std::string port, serial, format = "string";
    bool panes = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--port") port = argv[i + 1];
        else if (option == "--serial") serial = argv[i + 1];
        else if (option == "--format") format = argv[i + 1];
        else if (option == "--panes") panes = std::string(argv[i + 1]) != "off";
    }
    if (port.empty() || serial.empty() || FormatIndex(format) < 0) {
        std::fprintf(stderr, "usage: window_bridge --port P --serial DEV [--format string|binary|decimal|hex]\n");
        return 2;
    }
    signal(SIGTERM, RequestStop);
    signal(SIGINT, RequestStop);

    QApplication qt(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    Application().Title = "Portvale";
    DispatcherBridge bridge;
    QtInteraction interaction;
    Application().SetInteraction(&interaction);
    std::unique_ptr<TForm1> form = TForm1::CreateMainWindow();
    {
        MainWindow window(*form);
        interaction.SetParent(&window);
        window.show();

        std::string lastStatus;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (stopRequested) QApplication::quit();
            const std::string& status = form->stat1->Panel(0).Text;
            if (status != lastStatus) {
                lastStatus = status;
                std::fprintf(stderr, "%s\n", status.c_str());
            }
        });
        watch.start(20);

        QTimer::singleShot(0, [&] {
            form->ComPort1->SetPort(serial);
            form->grpTCPSocketType->SetItemIndex(2);
            form->txbPort->UserSetText(port);
            form->rdIncomingFormat->SetItemIndex(FormatIndex(format));
            form->ShowBlocks = panes;
            form->btnComPortOn->Click();
            form->btnConnect->Click();
        });
        QApplication::exec();
        interaction.SetParent(nullptr);
        window.DetachPeers();
    }
    Application().SetInteraction(nullptr);
    form.reset();
    return 0;
}
