// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Text compared as settings keys, section names and device names are: letter case ignored, ASCII
// letters only (bytes of other scripts compare as they are).

#include <string_view>

namespace kestrel {

[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;
[[nodiscard]] bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept;

} // namespace kestrel
