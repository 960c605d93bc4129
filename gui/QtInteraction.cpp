#include "gui/QtInteraction.h"

#include <QFileDialog>
#include <QMessageBox>

#include "gui/ModalDialog.h"

namespace portvale {

int QtInteraction::ShowModal(TForm& form) {
    ModalDialog dialog(form, parent_);
    return dialog.Run();
}

std::optional<std::string> QtInteraction::SaveFileName(const std::string& caption, const std::string& suggested) {
    const QString path =
        QFileDialog::getSaveFileName(parent_, QString::fromStdString(caption), QString::fromStdString(suggested));
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
}

int QtInteraction::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox box(parent_);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (flags & 0xF0) {
        case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
        case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
        case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
        case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
    }
    switch (flags & 0x0F) {
        case MB_OKCANCEL:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case MB_YESNO:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Cancel: return IDCANCEL;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return IDOK;
    }
}

}  // namespace portvale
