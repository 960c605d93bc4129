#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/unPortvale.h"
#include "framework/Application.h"
#include "gui/CommandLine.h"
#include "gui/DispatcherBridge.h"
#include "gui/DisplayCheck.h"
#include "gui/Icons.h"
#include "gui/MainWindow.h"
#include "gui/QtInteraction.h"
#include "headless/Headless.h"

namespace {

int RunWindow(int argc, char** argv) {
    using namespace portvale;
    QtStartGuard start;
    QApplication qt(argc, argv);
    start.Started();
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

}  // namespace

int main(int argc, char** argv) {
    using portvale::CommandLineAction;
    const portvale::CommandLine command = portvale::ReadCommandLine(argc, argv);
    switch (command.action) {
        case CommandLineAction::ShowHelp:
            std::fputs(portvale::HelpText().c_str(), stdout);
            return 0;
        case CommandLineAction::ShowVersion:
            std::fputs(portvale::VersionText().c_str(), stdout);
            return 0;
        case CommandLineAction::Refuse:
            std::fprintf(stderr, "portvale: %s\nTry 'portvale --help' for more information.\n", command.error.c_str());
            return 2;
        case CommandLineAction::RunHeadless:
            // Before any thread starts, so every thread inherits the blocked signals.
            portvale::headless::BlockTerminationSignals();
            return portvale::headless::RunHeadless(std::vector<std::string>(argv + 1, argv + argc));
        case CommandLineAction::Run:
            break;
    }
    const std::string reason = portvale::MissingDisplayReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "portvale: %s\n", reason.c_str());
        return 2;
    }
    return RunWindow(argc, argv);
}
