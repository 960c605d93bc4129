#pragma once
// The application object: its title, the central exception handler, and message boxes
// through an interaction service that the front end provides (Qt dialogs in the
// program, a scripted answerer in tests).

#include <exception>
#include <optional>
#include <string>

#include "framework/BoundEvent.h"

namespace portvale {

// Message box flags and results, with the values of the Windows message box.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// How a modal form was closed; the values of the framework's modal results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

class TForm;

class IInteraction {
public:
    virtual ~IInteraction() = default;
    // Shows text in a modal message box and returns the button chosen (IDOK, ...).
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
    // Shows the form as a modal dialog until the user closes it, and returns how
    // (mrOk, mrCancel, ...). A front end that shows no forms answers mrCancel, as a
    // user who closed the dialog at once would.
    virtual int ShowModal(TForm& form) { return mrCancel; }
    // Asks for the name of a file to write, suggesting one; none when the user
    // cancelled or the front end cannot ask.
    virtual std::optional<std::string> SaveFileName(const std::string& caption, const std::string& suggested) {
        return std::nullopt;
    }
};

using TExceptionEvent = TBoundEvent<void(TObject* sender, const std::exception& error)>;

class TApplication : public TObject {
public:
    TApplication();
    ~TApplication() override;

    std::string Title;
    // Replaces the default handling of HandleException when set.
    TExceptionEvent OnException;

    // The central exception handler: shows the exception's message in a message box
    // captioned with the title (silent EAbort excepted). The caller's loop goes on.
    void HandleException(std::exception_ptr error);
    void ShowException(const std::exception& error);

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags = MB_OK);

    // Not owned. Without one, messages go to standard error and are answered IDOK.
    void SetInteraction(IInteraction* interaction) { interaction_ = interaction; }
    IInteraction* Interaction() const { return interaction_; }

private:
    IInteraction* interaction_ = nullptr;
};

// The one application object; it installs itself as the dispatcher's exception sink.
TApplication& Application();

// Runs f at a dispatch boundary (a user's input reaching the controls, a start-up
// step): whatever it throws goes to the central handler instead of the caller.
template <typename F>
void Guarded(F&& f) {
    try {
        f();
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
}

}  // namespace portvale
