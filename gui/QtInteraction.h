#pragma once
// Message boxes of the application object and modal forms, shown as Qt dialogs over
// the main window.

#include <QWidget>

#include "framework/Application.h"

namespace portvale {

class QtInteraction : public IInteraction {
public:
    explicit QtInteraction(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    int ShowModal(TForm& form) override;
    std::optional<std::string> SaveFileName(const std::string& caption, const std::string& suggested) override;

private:
    QWidget* parent_;
};

}  // namespace portvale
