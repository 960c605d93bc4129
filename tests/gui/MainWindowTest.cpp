#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QEventLoop>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "app/unPortvale.h"
#include "gui/DispatcherBridge.h"
#include "gui/DisplayCheck.h"
#include "gui/MainWindow.h"
#include "platform/Dispatcher.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/gui/RunningWindow.h"
#include "tests/support/RecordingInteraction.h"

namespace portvale {
namespace {

using test::BesideLabel;
using test::FindByText;
using test::ProcessQtUntil;
using test::Qt;

// A TCP server on loopback that takes one client and keeps what it sends until it
// closes (or a deadline passes).
class LoopbackServer {
public:
    LoopbackServer() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        auto* a = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener_, a, size) != 0 || ::listen(listener_, 1) != 0 || ::getsockname(listener_, a, &size) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            pollfd ready{listener_, POLLIN, 0};
            const int client = ::poll(&ready, 1, 20000) == 1 ? ::accept(listener_, nullptr, nullptr) : -1;
            char buffer[4096];
            for (pollfd data{client, POLLIN, 0}; client >= 0 && ::poll(&data, 1, 20000) == 1;) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                std::lock_guard lock(mutex_);
                received_.append(buffer, static_cast<std::size_t>(n));
            }
            if (client >= 0) ::close(client);
        });
    }
    ~LoopbackServer() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::string ReceivedUntilClosed() {
        thread_.join();
        return Received();
    }

private:
    int listener_;
    int port_ = 0;
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// Replaces the text of an edit as a user does: select it all, type over it.
void TypeOver(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

std::string BoxTexts(const test::RecordingInteraction& boxes) {
    return boxes.shown.empty() ? "" : boxes.shown.front().caption + ": " + boxes.shown.front().text;
}

using test::RunningWindow;

TEST(MainWindowTest, ClientConnectsAndSendsTheTypedMessageOnEnter) {
    Qt();
    LoopbackServer server;
    auto run = std::make_unique<RunningWindow>();
    MainWindow& window = *run->window;
    ASSERT_TRUE(run->Shown());

    QRadioButton* client = FindByText<QRadioButton>(window, "Client");
    ASSERT_NE(client, nullptr);
    client->click();
    EXPECT_EQ(run->form->grpTCPSocketType->ItemIndex(), 1);

    auto* host = BesideLabel<QLineEdit>(window, "Server:");
    auto* port = BesideLabel<QLineEdit>(window, "TCP/IP Port :");
    auto* message = BesideLabel<QLineEdit>(window, "TCP Message");
    ASSERT_TRUE(host && port && message);
    TypeOver(host, "127.0.0.1");
    TypeOver(port, QString::number(server.Port()));

    QToolButton* connect = FindByText<QToolButton>(window, sTcpConnect);
    ASSERT_NE(connect, nullptr);
    QTest::mouseClick(connect, ::Qt::LeftButton);
    auto* status = window.findChild<QLabel*>("stat1.panel0");
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(ProcessQtUntil([&] { return status->text() == sConnectedToServer; }))
        << status->text().toStdString() << " " << BoxTexts(run->boxes);
    EXPECT_TRUE(connect->isChecked()) << "the connect button looks pressed while connected";

    QTest::keyClicks(message, "hello bridge");
    QTest::keyClick(message, ::Qt::Key_Return);
    ASSERT_TRUE(ProcessQtUntil([&] { return server.Received().size() >= 14; }));
    // Enter selects the whole text, so the next message replaces it.
    EXPECT_EQ(message->selectedText(), "hello bridge");
    EXPECT_TRUE(run->boxes.shown.empty()) << BoxTexts(run->boxes);

    run.reset();  // closes the client connection
    EXPECT_EQ(server.ReceivedUntilClosed(), "hello bridge\r\n");
}

// Every tool button says what it does; Ctrl+S saves what the fields hold, wherever
// the focus is, and the tip teaches the key.
TEST(MainWindowTest, ToolButtonsCarryTipsAndCtrlSSavesTheSettings) {
    Qt();
    RunningWindow run;
    ASSERT_TRUE(run.Shown());
    MainWindow& window = *run.window;
    for (QToolButton* b : window.findChildren<QToolButton*>()) {
        if (!b->text().isEmpty()) {
            EXPECT_FALSE(b->toolTip().isEmpty()) << b->text().toStdString();
        }
    }
    QToolButton* save = FindByText<QToolButton>(window, "Save Settings");
    ASSERT_NE(save, nullptr);
    EXPECT_TRUE(save->toolTip().endsWith(" (Ctrl+S)")) << save->toolTip().toStdString();

    window.activateWindow();
    ASSERT_TRUE(ProcessQtUntil([&] { return QApplication::activeWindow() == &window; }));
    auto* host = BesideLabel<QLineEdit>(window, "Server:");
    ASSERT_NE(host, nullptr);
    host->setFocus();
    TypeOver(host, "bridge.example");
    QTest::keyClick(host, ::Qt::Key_S, ::Qt::ControlModifier);
    EXPECT_TRUE(ProcessQtUntil([&] {
        std::ifstream file(run.directory.Path() / "TCP.SET", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return bytes.find("bridge.example") != std::string::npos;
    })) << "TCP.SET holds the typed host";
    EXPECT_EQ(host->text(), "bridge.example") << "the key is not typed";
}

// The log area reports its size; the model's rule sets the upper pane (half the
// area less five); the least window size stays put, so shrinking takes one step.
TEST(MainWindowTest, LogPanesFollowTheModelsRuleAtEverySize) {
    Qt();
    RunningWindow run;
    ASSERT_TRUE(run.Shown());
    MainWindow& window = *run.window;
    QWidget* area = window.WidgetOf(run.form->pnl4);
    QWidget* upper = window.WidgetOf(run.form->pnl2);
    const QSize least = window.minimumSize();
    for (const QSize size : {QSize(1000, 700), QSize(1100, 901), QSize(200, 200)}) {
        window.resize(size);
        EXPECT_TRUE(ProcessQtUntil([&] {
            return area->height() == run.form->pnl4->Height() && upper->height() == area->height() / 2 - 5;
        })) << size.height() << ": area " << area->height() << ", model " << run.form->pnl4->Height()
            << ", upper " << upper->height();
        EXPECT_EQ(window.minimumSize(), least);
    }
    EXPECT_EQ(window.size(), least);
    for (const TControl* pane : {run.form->redtTCPIPMsg, run.form->redtComPortMsg})
        EXPECT_GE(window.WidgetOf(pane)->height(), window.WidgetOf(pane)->minimumSizeHint().height()) << pane->Name();
}

// Run a second time by CTest with QT_SCALE_FACTOR=2, for the picture at twice the
// pixels and the same checks at that scale.
TEST(MainWindowShots, ShowsEveryCaptionWholeAndSavesAPicture) {
    Qt();
    RunningWindow run;
    ASSERT_TRUE(run.Shown());
    TForm1& form = *run.form;
    MainWindow& window = *run.window;
    window.resize(form.Width(), form.Height());
    // Something in the panes, as a user sees them at work.
    form.ShowReceived(TBridgeDirection::TcpToCom, "AT+GMR\r\nAT+CSQ\r\n");
    form.ShowReceived(TBridgeDirection::ComToTcp, "Temperature=21.5C\r\nOK\r\n\x1B[0m");
    auto* pane = window.findChild<QPlainTextEdit*>("redtComPortMsg");
    ASSERT_TRUE(ProcessQtUntil([&] {
        return pane->toPlainText() == "<ESC>[0m\nOK\nTemperature=21.5C" && window.width() == form.Width();
    }));

    for (QAbstractButton* b : window.findChildren<QAbstractButton*>()) {
        if (b->text().isEmpty()) continue;  // the tool bar's own overflow button
        EXPECT_TRUE(b->isVisible()) << b->text().toStdString() << " is hidden (off the tool bar?)";
        EXPECT_GE(b->width(), b->sizeHint().width()) << b->text().toStdString();
        EXPECT_GE(b->height(), b->sizeHint().height()) << b->text().toStdString();
    }
    for (QLabel* l : window.findChildren<QLabel*>()) {
        if (l->isVisible() && !l->text().isEmpty()) {
            EXPECT_GE(l->width(), l->sizeHint().width()) << l->text().toStdString();
        }
    }

    // The offscreen pointer starts over the first tool button, which then shows
    // its hover frame; a real move (through the window) takes it away.
    QWidget* strip = window.WidgetOf(form.pnl5);
    QTest::mouseMove(window.windowHandle(), strip->mapTo(&window, strip->rect().center()));
    const QPixmap shot = window.grab();
    const qreal ratio = shot.devicePixelRatio();
    const QString name = ratio >= 2 ? "main-window@2x.png" : "main-window.png";
    ASSERT_TRUE(QDir().mkpath(PORTVALE_SHOTS_DIR));
    EXPECT_TRUE(shot.save(QStringLiteral(PORTVALE_SHOTS_DIR "/") + name));
    EXPECT_EQ(shot.size(), window.size() * ratio);
}

TEST(MainWindowTest, IsCaptionedWithTheFormsCaptionAndCentred) {
    Qt();
    RunningWindow run;
    MainWindow& window = *run.window;
    window.CentreOnScreen();
    EXPECT_EQ(window.windowTitle(), "Portvale");
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = window.frameGeometry();
    if (frame.width() <= screen.width() && frame.height() <= screen.height()) {
        EXPECT_TRUE(screen.contains(frame));
    }
    // Equal margins on both sides (negative ones when the window cannot shrink to
    // the screen), give or take the rounding of odd sizes.
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

TEST(DispatcherBridgeTest, ANestedQtLoopOpenedByAHandlerKeepsTheDispatcherTurning) {
    Qt();
    DispatcherBridge bridge;
    auto& d = Dispatcher::Instance();
    bool secondSeen = false;
    bool secondSeenInsideTheLoop = false;
    HWND window = 0;
    window = d.AllocateHWnd([&](std::uint32_t, WPARAM, LPARAM l) -> LRESULT {
        if (l == 0) return 0;
        if (l == 2) {
            secondSeen = true;
            return 0;
        }
        // As a message box opened by a socket handler would: a nested Qt loop.
        std::thread([&] { d.PostMessage(window, WM_USER, 0, 2); }).join();
        QEventLoop loop;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (secondSeen) loop.quit();
        });
        poll.start(5);
        loop.exec();
        secondSeenInsideTheLoop = secondSeen;
        return 0;
    });
    // The bridge's start-up drain has run by then, so only its notifier is left.
    bool warmedUp = false;
    const HWND warmUp = d.AllocateHWnd([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        warmedUp = true;
        return 0;
    });
    d.PostMessage(warmUp, WM_USER, 0, 0);
    ASSERT_TRUE(ProcessQtUntil([&] { return warmedUp; }));
    d.DeallocateHWnd(warmUp);
    d.PostMessage(window, WM_USER, 0, 1);
    EXPECT_TRUE(ProcessQtUntil([&] { return secondSeen; }));
    EXPECT_TRUE(secondSeenInsideTheLoop);
    d.DeallocateHWnd(window);
}

TEST(DisplayCheckTest, SaysPlainlyWhenThereIsNoDisplay) {
    const char* kept = std::getenv("QT_QPA_PLATFORM");
    const std::string saved = kept ? kept : "";
    struct Case {
        const char* platform;  // null: unset
        const char* display;
        const char* wayland;
        bool missing;
    };
    for (const Case& c : {Case{nullptr, nullptr, nullptr, true}, Case{nullptr, ":0", nullptr, false},
                          Case{nullptr, nullptr, "wayland-0", false}, Case{"offscreen", nullptr, nullptr, false},
                          Case{"xcb", nullptr, "wayland-0", true}, Case{"xcb:nomitshm", nullptr, nullptr, true},
                          Case{"xcb", ":0", nullptr, false}, Case{"wayland;xcb", nullptr, nullptr, false}}) {
        SCOPED_TRACE(std::string(c.platform ? c.platform : "-") + " " + (c.display ? c.display : "-") + " " +
                     (c.wayland ? c.wayland : "-"));
        const auto put = [](const char* name, const char* value) {
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        };
        put("QT_QPA_PLATFORM", c.platform);
        put("DISPLAY", c.display);
        put("WAYLAND_DISPLAY", c.wayland);
        const std::string reason = MissingDisplayReason();
        EXPECT_EQ(reason.find("no display available") != std::string::npos, c.missing) << reason;
    }
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", saved.empty() ? "offscreen" : saved.c_str(), 1);
}

}  // namespace
}  // namespace portvale
