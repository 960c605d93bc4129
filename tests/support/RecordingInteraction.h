#pragma once
// A scripted stand-in for the front end's message boxes: records every box shown and
// answers from a script (IDOK when the script is empty).

#include <deque>
#include <string>
#include <vector>

#include "framework/Application.h"

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

    std::vector<ShownBox> shown;
    std::deque<int> answers;
};

}  // namespace portvale::test
