#pragma once
// A scripted stand-in for the front end's message boxes and modal forms: records
// every box shown and answers from a script (IDOK when the script is empty); records
// the caption of every form shown modally and lets the test play the user on it
// (OnShowModal works the form's controls and returns the result; without it a form
// is closed at once with mrCancel).

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/controls/Controls.h"

namespace portvale::test {

struct ShownBox {
    std::string text;
    std::string caption;
    unsigned flags;
};

class RecordingInteraction : public IInteraction {
public:
    RecordingInteraction() { Application().SetInteraction(this); }
    ~RecordingInteraction() override { Application().SetInteraction(nullptr); }

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
        shown.push_back(ShownBox{text, caption, flags});
        if (answers.empty()) return IDOK;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }

    int ShowModal(TForm& form) override {
        modals.push_back(form.Caption());
        return OnShowModal ? OnShowModal(form) : mrCancel;
    }

    std::optional<std::string> SaveFileName(const std::string& caption, const std::string&) override {
        asked.push_back(caption);
        return saveAs;
    }

    std::vector<ShownBox> shown;
    // What a save dialog answers (none: cancelled), and the captions of those shown.
    std::optional<std::string> saveAs;
    std::vector<std::string> asked;
    std::deque<int> answers;
    std::vector<std::string> modals;
    std::function<int(TForm&)> OnShowModal;
};

}  // namespace portvale::test
