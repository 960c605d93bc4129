#pragma once
// The window as the program runs it: the form made by its factory in a scratch
// directory, every box recorded instead of shown, the dispatcher driven by Qt.

#include <memory>

#include "app/unPortvale.h"
#include "gui/DispatcherBridge.h"
#include "gui/MainWindow.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale::test {

struct RunningWindow {
    ScratchWorkingDirectory directory;
    RecordingInteraction boxes;
    DispatcherBridge bridge;
    std::unique_ptr<TForm1> form = TForm1::CreateMainWindow();
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>(*form);

    RunningWindow() { window->show(); }
    ~RunningWindow() {
        window->DetachPeers();
        window.reset();
        form.reset();
    }
    bool Shown() { return ProcessQtUntil([&] { return form->Shown(); }); }
};

}  // namespace portvale::test
