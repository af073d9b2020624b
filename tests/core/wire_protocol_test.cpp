#include "core/wire_protocol.hpp"
#include <gtest/gtest.h>
TEST(Smoke, Builds) { SUCCEED(); }
