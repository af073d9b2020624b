// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// JSON text for the answers Kestrel gives scripts (kestrel --status). Only what those answers
// need: strings, escaped so that any bytes give valid JSON.

#include <string>
#include <string_view>

namespace kestrel {

// `text` as a JSON string, quotes included: quotes, backslashes and control characters escaped,
// and bytes that are not UTF-8 (a device or error text in another encoding) replaced by U+FFFD,
// so the result is valid JSON whatever `text` holds. Any thread.
[[nodiscard]] std::string JsonString(std::string_view text);

} // namespace kestrel
