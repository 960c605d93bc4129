// Test entry point: the main thread is the GUI thread of every test.
#include <gtest/gtest.h>

#include "platform/Dispatcher.h"

int main(int argc, char** argv) {
    portvale::Dispatcher::Instance().BindToCurrentThread();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
