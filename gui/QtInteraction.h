#pragma once
// Message boxes of the application object, shown as Qt dialogs.

#include <QWidget>

#include "framework/Application.h"

namespace portvale {

class QtInteraction : public IInteraction {
public:
    explicit QtInteraction(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

private:
    QWidget* parent_;
};

}  // namespace portvale
