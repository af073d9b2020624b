// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Text compared as settings keys, section names and device names are: letter case ignored, ASCII
// letters only (bytes of other scripts compare as they are). And the one rule for well-formed
// UTF-8, for text that crosses into JSON or onto the network.

#include <cstddef>
#include <string_view>

namespace kestrel {

[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;
[[nodiscard]] bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept;

// Length of the well-formed UTF-8 sequence starting at `at` (< text.size()), 0 when there is none
// there: a stray continuation byte, a cut sequence, an overlong form, a surrogate or a value past
// U+10FFFF. ASCII, NUL included, is a sequence of one.
[[nodiscard]] std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) noexcept;
// Every byte of `text` belongs to a well-formed UTF-8 sequence.
[[nodiscard]] bool IsUtf8(std::string_view text) noexcept;

} // namespace kestrel
