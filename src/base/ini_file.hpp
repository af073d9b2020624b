// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Profile (INI) files read and written key by key, the way the settings file and the language
// files have always been kept: a "[section]" line opens a section; "key=value" lines belong to
// the last section opened; section and key names match without regard to (ASCII) case; blanks
// around names and values are ignored; a value enclosed in a pair of double or single quotes
// loses that pair; lines starting with ';' are comments. Nothing is cached: every call reads the
// file anew. Not for hot paths.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::ini {

// Files larger than this are not read (and not rewritten): a settings or language file is a few
// kilobytes, so a huge one is a mistake and must not stall the program.
inline constexpr std::uintmax_t kMaxFileSize = std::uintmax_t{4} << 20U;

// The value of [section] key, or nullopt when the file, the section or the key is missing.
[[nodiscard]] std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                                   std::string_view key);

// Reads a value from file content already in memory (the same rules).
[[nodiscard]] std::optional<std::string> FindValue(std::string_view content, std::string_view section,
                                                   std::string_view key);

// The leading decimal number of a value: blanks, an optional sign, digits; text without digits
// gives 0; values beyond the 32-bit range saturate.
[[nodiscard]] std::int32_t LeadingNumber(std::string_view value) noexcept;

// Sets [section] key = value, keeping every other line of the file as it was: an existing key's
// line is replaced in place, a new key goes after the last line of its section, a new section is
// added at the end. The file is replaced atomically (a new file is written, synced and renamed
// over the old one), so a crash never leaves half a file; missing folders are created.
// Returns false, with the reason in *error when given, when it cannot be written or the value
// holds a line break (which would corrupt the file).
bool WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                std::string_view value, std::string* error = nullptr);

// Writes the whole content to `file` atomically, as WriteValue does.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content, std::string* error = nullptr);

// Reads a whole file of at most kMaxFileSize bytes; nullopt when missing, unreadable or too big.
[[nodiscard]] std::optional<std::string> ReadFile(const std::filesystem::path& file);

} // namespace kestrel::ini
