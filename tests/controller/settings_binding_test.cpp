// SPDX-License-Identifier: GPL-3.0-or-later
// Port edits and addresses as the window takes them.

#include "controller/device_choices.hpp"
#include "controller/settings_binding.hpp"

#include <gtest/gtest.h>

namespace kestrel::controller {
namespace {

TEST(PortText, TakesUnsignedNumbersOnly) {
  EXPECT_EQ(ParsePortText(" 8800 "), 8800U);
  EXPECT_EQ(ParsePortText("0"), 0U);
  EXPECT_FALSE(ParsePortText(""));
  EXPECT_FALSE(ParsePortText("-1"));
  EXPECT_FALSE(ParsePortText("88a"));
  EXPECT_FALSE(ParsePortText("99999999999"));
  EXPECT_EQ(ParseAddress("10.0.0.5"),
            DottedAddress(ParseAddress("10.0.0.5")) == "10.0.0.5" ? ParseAddress("10.0.0.5") : 0U);
  EXPECT_EQ(ParseAddress("10.0.0"), 0U);
}

} // namespace
} // namespace kestrel::controller
