// SPDX-License-Identifier: GPL-3.0-or-later
// Number formats from language files.

#include "controller/notices.hpp"

#include <gtest/gtest.h>

namespace kestrel::controller {
namespace {

TEST(FormatNumber, TakesTheFirstNumberPlaceAndNothingElse) {
  EXPECT_EQ(FormatNumber("delay: %d ms", 12), "delay: 12 ms");
  EXPECT_EQ(FormatNumber("Error: Port %d already in use", 8800), "Error: Port 8800 already in use");
  // A language file's format can hold anything; none of it reaches printf.
  EXPECT_EQ(FormatNumber("%s %n %d%% %d", 5), "%s %n 5% %d");
}

} // namespace
} // namespace kestrel::controller
