#include "framework/Application.h"

#include <gtest/gtest.h>

#include "framework/Exceptions.h"
#include "tests/support/RecordingInteraction.h"
#include "tests/support/Wait.h"

namespace portvale {
namespace {

TEST(ApplicationTest, AnExceptionFromAHandlerIsShownCaptionedWithTheTitleAndTheLoopGoesOn) {
    test::RecordingInteraction boxes;
    Application().Title = "Portvale";
    auto& d = Dispatcher::Instance();
    int handled = 0;
    const HWND window = d.AllocateHWnd([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        ++handled;
        if (msg == WM_USER) throw Exception("Asynchronous socket error 10061");
        return 0;
    });
    d.PostMessage(window, WM_USER, 0, 0);
    d.PostMessage(window, WM_USER + 1, 0, 0);
    ASSERT_TRUE(test::PumpUntil([&] { return handled == 2; }));
    d.DeallocateHWnd(window);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Asynchronous socket error 10061");
    EXPECT_EQ(boxes.shown[0].caption, "Portvale");
}

TEST(ApplicationTest, SilentAbortsShowNothingAndOnExceptionReplacesTheBox) {
    test::RecordingInteraction boxes;
    Application().HandleException(std::make_exception_ptr(EAbort()));
    EXPECT_TRUE(boxes.shown.empty());
    std::string seen;
    Application().OnException = [&](TObject*, const std::exception& e) { seen = e.what(); };
    Application().HandleException(std::make_exception_ptr(Exception("x")));
    Application().OnException.Clear();
    EXPECT_EQ(seen, "x");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(ApplicationTest, MessageBoxReturnsTheScriptedAnswer) {
    test::RecordingInteraction boxes;
    boxes.answers.push_back(IDCANCEL);
    EXPECT_EQ(Application().MessageBox("Sure?", "Hata", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(Application().MessageBox("Again", "Hata"), IDOK);
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].flags, MB_OKCANCEL);
}

TEST(ExceptionTest, FixedTexts) {
    EXPECT_STREQ(EListError(5).what(), "List index out of bounds (5)");
    EXPECT_STREQ(EListError(-1).what(), "List index out of bounds (-1)");
    EXPECT_STREQ(EFOpenError("TCP.SET").what(), "Cannot open file TCP.SET");
    EXPECT_STREQ(EFCreateError("/ro/TCP.SET").what(), "Cannot create file /ro/TCP.SET");
}

}  // namespace
}  // namespace portvale
