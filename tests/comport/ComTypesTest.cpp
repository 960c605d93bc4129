#include <gtest/gtest.h>

#include "comport/ComPort.h"

namespace portvale {
namespace {
TEST(ComTypes, Placeholder) { EXPECT_EQ(BaudRateToStr(brCustom), "Custom"); }
}  // namespace
}  // namespace portvale
