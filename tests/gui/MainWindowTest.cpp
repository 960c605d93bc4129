#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <cstdlib>
#include <thread>

#include "framework/Application.h"
#include "gui/DispatcherBridge.h"
#include "gui/DisplayCheck.h"
#include "gui/MainWindow.h"
#include "platform/Dispatcher.h"

namespace portvale {
namespace {

QApplication& Qt() {
    static int argc = 1;
    static char name[] = "test_gui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

bool ProcessQtUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

TEST(MainWindowTest, IsCaptionedWithTheTitleAndCentred) {
    Qt();
    Application().Title = "Portvale";
    MainWindow window;
    window.show();
    window.CentreOnScreen();
    EXPECT_EQ(window.windowTitle(), "Portvale");
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = window.frameGeometry();
    ASSERT_TRUE(screen.contains(frame));
    // Equal margins on both sides, give or take the rounding of odd sizes.
    EXPECT_LE(std::abs((frame.left() - screen.left()) - (screen.right() - frame.right())), 2);
    EXPECT_LE(std::abs((frame.top() - screen.top()) - (screen.bottom() - frame.bottom())), 2);
}

TEST(DispatcherBridgeTest, QtsLoopDeliversMessagesPostedFromAnotherThread) {
    Qt();
    DispatcherBridge bridge;
    auto& d = Dispatcher::Instance();
    std::vector<LPARAM> seen;
    const HWND window = d.AllocateHWnd([&](std::uint32_t, WPARAM, LPARAM l) -> LRESULT {
        seen.push_back(l);
        return 0;
    });
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) d.PostMessage(window, WM_USER, 0, i);
    });
    poster.join();
    EXPECT_TRUE(ProcessQtUntil([&] { return seen.size() == 100; }));
    for (int i = 0; i < static_cast<int>(seen.size()); ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    d.DeallocateHWnd(window);
}

TEST(DisplayCheckTest, SaysPlainlyWhenThereIsNoDisplay) {
    const std::string saved = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_NE(MissingDisplayReason().find("no display available"), std::string::npos);
    ::setenv("DISPLAY", ":0", 1);
    EXPECT_EQ(MissingDisplayReason(), "");
    ::unsetenv("DISPLAY");
    ::setenv("QT_QPA_PLATFORM", saved.empty() ? "offscreen" : saved.c_str(), 1);
    EXPECT_EQ(MissingDisplayReason(), "");
}

}  // namespace
}  // namespace portvale
