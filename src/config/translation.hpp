// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Run-time texts in another language. The program holds every text in English; a language file
// (a profile file "Lang.<id>", chosen by "Pref"/"LangID") maps them to translations, looked up
// anew at every use.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// Writes TAB, line feed, carriage return and backslash as \t, \n, \r and \\ (how keys of
// run-time texts are written in a language file). Returns false when `out` is too small.
bool EscapeText(std::string_view text, char* out, std::size_t outSize) noexcept;
[[nodiscard]] std::string EscapeText(std::string_view text);

// Decodes the same four escapes in place. A backslash before any other character stays and
// that character is removed; a backslash at the very end stays.
void UnescapeText(char* text) noexcept;
void UnescapeText(std::string& text);

// "" for an empty language identifier, else "Lang." followed by it.
[[nodiscard]] std::string LanguageFileNameFor(std::string_view langId);

class Translator {
public:
  static constexpr std::size_t kBufferSize = 1000; // per-thread key and value buffers

  // No language file: every text stays as it is, at no cost.
  Translator() = default;
  // `languageFileName` as made by LanguageFileNameFor; `programDir` anchors the location rule.
  Translator(std::string languageFileName, std::filesystem::path programDir, std::filesystem::path workingDir = {});

  [[nodiscard]] const std::string& LanguageFileName() const noexcept { return fileName_; }

  // Where the language file is, resolved anew: a name holding '/' is used as it is; else the
  // file in the current directory; else beside the program; else in <program>/../share/kestrel.
  // Empty when no language is selected.
  [[nodiscard]] std::filesystem::path LanguageFilePath() const;

  // The translation of `text` from section "Common", or `text` itself (the same pointer) when
  // there is none or its value is empty. A translation lives in the calling thread's buffer and
  // stays valid until that thread's next call. Any thread; reads the file, so not for the
  // MIDI hot path.
  const char* TranslateString(const char* text) const;

  // A raw lookup for dialog texts: the unescaped value of `key` in `section`, or nullopt when it
  // is missing. (Callers apply their own default rules.)
  [[nodiscard]] std::optional<std::string> Lookup(std::string_view section, std::string_view key) const;

  // Tests: hears every text looked up (section "Common" for run-time strings, the dialog's
  // section for dialog texts), also when no language is selected, so that a test can check that
  // the shipped language files hold every text the program asks for. Set it before any thread
  // translates; null removes it.
  using LookupObserver = void (*)(std::string_view section, std::string_view key);
  static void SetLookupObserver(LookupObserver observer) noexcept;

private:
  std::string fileName_;
  std::filesystem::path programDir_;
  std::filesystem::path workingDir_;
};

} // namespace kestrel
