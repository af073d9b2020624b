// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// "Section.Key=Value" from the command line, written to Kestrel.dat as the window would write
// it: flags and numbers as numbers, names as quote-protected text. Unknown keys and values that
// do not fit their key are refused with a reason.

#include <string>
#include <string_view>

namespace kestrel {
class Settings;
}

namespace kestrel::config {

// True when written; otherwise *error says why and the file is unchanged.
bool ApplySettingAssignment(Settings& settings, std::string_view assignment, std::string* error);

// The keys ApplySettingAssignment takes, one "Section.Key  meaning" per line, for --help.
[[nodiscard]] std::string SettingKeysHelp();

} // namespace kestrel::config
