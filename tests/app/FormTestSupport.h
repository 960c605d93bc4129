#pragma once
// The main window under test, headless: created in a scratch directory that is the
// current directory for the test, with message boxes answered by a script and the
// shell's opener recording what it was asked to open.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/unPortvale.h"
#include "framework/Application.h"
#include "platform/ShellOpen.h"
#include "tests/support/RecordingInteraction.h"
#include "tests/support/Wait.h"

namespace portvale::test {

class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/portvale-app-XXXXXX";
        path_ = ::mkdtemp(pattern);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::filesystem::path previous_;
};

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class FormTest : public ::testing::Test {
protected:
    FormTest() {
        Application().Title = "Portvale";
        SetShellOpener([this](const std::string& target) {
            opened.push_back(target);
            return true;
        });
    }
    ~FormTest() override {
        form.reset();
        SetShellOpener({});
    }

    // The program's start: creation, the default file, then the first show.
    TForm1& Start() {
        form = TForm1::CreateMainWindow();
        Guarded([&] { form->Show(); });
        return *form;
    }

    // A user's click: what escapes the handler goes to the central handler's box.
    template <typename Control>
    void Click(Control* control) {
        Guarded([&] { control->Click(); });
    }

    std::string Panel(int index) const { return form->stat1->Panel(index).Text; }

    // Client mode to host:port, then "Com-Port On" and "TCP Connect", as a user does.
    void PressConnectAsClientOf(const std::string& host, std::uint16_t port) {
        form->grpTCPSocketType->SetItemIndex(1);
        form->txbHost->SetText(host);
        form->txbPort->SetText(std::to_string(port));
        Click(form->btnComPortOn);
        Click(form->btnConnect);
    }

    ScratchDirectory dir;
    RecordingInteraction interaction;
    std::vector<std::string> opened;
    std::unique_ptr<TForm1> form;
};

}  // namespace portvale::test
