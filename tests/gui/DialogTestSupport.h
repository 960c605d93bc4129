#pragma once
// Helpers of the dialog tests: playing the user inside a dialog's own loop, and what
// a tidy dialog holds to.

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

namespace portvale::test {

// Runs act on the modal dialog once it is open, from inside its own loop; a click
// that opens the dialog returns only when the dialog has closed.
class WhenDialogOpens {
public:
    explicit WhenDialogOpens(std::function<void(QDialog&)> act) : act_(std::move(act)) {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog && dialog->isVisible()) {
                poll_.stop();
                ran_ = true;
                act_(*dialog);
            } else if (++polls_ > 1000) {
                poll_.stop();  // the test fails on Ran() rather than hanging
            }
        });
        poll_.start(10);
    }
    bool Ran() const { return ran_; }

private:
    std::function<void(QDialog&)> act_;
    QTimer poll_;
    int polls_ = 0;
    bool ran_ = false;
};

// What a tidy dialog holds to: every caption whole, labels on the line of their
// lists, nothing outside its parent, no two lists overlapping.
inline void ExpectTidy(const QDialog& dialog) {
    for (const QWidget* w : dialog.findChildren<QWidget*>()) {
        if (!w->isVisible() || !w->parentWidget() || w->parentWidget()->inherits("QComboBox")) continue;
        const std::string name = w->objectName().toStdString();
        if (name.empty()) continue;  // Qt's own parts (the popup's frame, ...)
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << name << " sticks out of its parent";
        EXPECT_GE(w->width(), w->minimumSizeHint().width()) << name;
        EXPECT_GE(w->height(), w->minimumSizeHint().height()) << name;
    }
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        if (!label->buddy()) continue;
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        EXPECT_LE(std::abs(label->geometry().center().y() - label->buddy()->geometry().center().y()), 1)
            << label->text().toStdString();
        EXPECT_LE(label->geometry().right(), label->buddy()->geometry().left()) << label->text().toStdString();
    }
    const auto combos = dialog.findChildren<QComboBox*>();
    for (const QComboBox* a : combos) {
        for (const QComboBox* b : combos) {
            if (a != b) {
                EXPECT_FALSE(a->geometry().intersects(b->geometry())) << a->objectName().toStdString();
            }
        }
    }
}

}  // namespace portvale::test
