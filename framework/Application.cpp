#include "framework/Application.h"

#include <cstdio>

#include "framework/Exceptions.h"
#include "platform/Dispatcher.h"

namespace portvale {

TApplication::TApplication() {
    Dispatcher::Instance().SetExceptionSink([this](std::exception_ptr e) { HandleException(e); });
}

TApplication::~TApplication() { Dispatcher::Instance().SetExceptionSink(nullptr); }

void TApplication::HandleException(std::exception_ptr error) {
    if (!error) return;
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        // Silent by design.
    } catch (const std::exception& e) {
        if (OnException)
            OnException(this, e);
        else
            ShowException(e);
    } catch (...) {
        MessageBox("Unknown exception", Title, MB_OK | MB_ICONERROR);
    }
}

void TApplication::ShowException(const std::exception& error) {
    MessageBox(error.what(), Title, MB_OK | MB_ICONERROR);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    if (interaction_) return interaction_->MessageBox(text, caption, flags);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return IDOK;
}

TApplication& Application() {
    // Never destroyed: threads and late notifications may still report through it.
    static TApplication* application = new TApplication();
    return *application;
}

}  // namespace portvale
