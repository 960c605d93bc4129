#pragma once
// Helpers of the window tests: the process's one QApplication (Fusion, as the
// program), waiting on Qt's loop with a deadline, finding widgets as a user would
// (by the text they show), and a scratch working directory.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QStyleFactory>
#include <QWidget>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "framework/Application.h"

namespace portvale::test {

inline QtMessageHandler previousQtMessageHandler = nullptr;

// The offscreen platform says this of every window it shows; it means nothing here
// and buries what does.
inline void QuietQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("propagateSizeHints"))) return;
    if (previousQtMessageHandler) previousQtMessageHandler(type, context, message);
}

inline QApplication& Qt() {
    static int argc = 1;
    static char name[] = "test_gui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        previousQtMessageHandler = qInstallMessageHandler(QuietQtMessages);
        auto* a = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        Application().Title = "Portvale";
        return a;
    }();
    return *app;
}

// Other threads and the dispatcher's descriptor make conditions true without Qt
// knowing, so the loop looks again every few milliseconds.
inline bool ProcessQtUntil(const std::function<bool()>& condition,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < limit.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

template <typename Widget>
Widget* FindByText(const QWidget& root, const QString& text) {
    for (Widget* w : root.findChildren<Widget*>())
        if (w->text() == text) return w;
    return nullptr;
}

// The widget a label names, as a user finds an edit by the caption beside it.
template <typename Widget>
Widget* BesideLabel(const QWidget& root, const QString& caption) {
    QLabel* label = FindByText<QLabel>(root, caption);
    return label ? qobject_cast<Widget*>(label->buddy()) : nullptr;
}

// The form reads and writes its settings files in the working directory.
class ScratchWorkingDirectory {
public:
    ScratchWorkingDirectory() : previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "portvale-gui-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
        std::filesystem::current_path(path_);
    }
    ~ScratchWorkingDirectory() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

}  // namespace portvale::test
