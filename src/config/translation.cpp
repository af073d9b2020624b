// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/translation.hpp"

#include "base/ini_file.hpp"

#include <array>
#include <atomic>
#include <cstring>

namespace kestrel {

namespace fs = std::filesystem;

bool EscapeText(std::string_view text, char* out, std::size_t outSize) noexcept {
  std::size_t n = 0;
  for (const char c : text) {
    const char* escape = nullptr;
    switch (c) {
    case '\t': escape = "\\t"; break;
    case '\n': escape = "\\n"; break;
    case '\r': escape = "\\r"; break;
    case '\\': escape = "\\\\"; break;
    default: break;
    }
    const std::size_t need = escape != nullptr ? 2 : 1;
    if (n + need >= outSize) { return false; }
    if (escape != nullptr) {
      out[n++] = escape[0];
      out[n++] = escape[1];
    } else {
      out[n++] = c;
    }
  }
  if (outSize == 0) { return false; }
  out[n] = '\0';
  return true;
}

std::string EscapeText(std::string_view text) {
  std::string out(text.size() * 2 + 1, '\0');
  EscapeText(text, out.data(), out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

void UnescapeText(char* text) noexcept {
  char* to = text;
  for (const char* from = text; *from != '\0'; ++from) {
    if (*from != '\\' || from[1] == '\0') {
      *to++ = *from;
      continue;
    }
    ++from;
    switch (*from) {
    case 'n': *to++ = '\n'; break;
    case 'r': *to++ = '\r'; break;
    case 't': *to++ = '\t'; break;
    default: *to++ = '\\'; break; // "\\" gives one backslash; before any other character it stays alone
    }
  }
  *to = '\0';
}

void UnescapeText(std::string& text) {
  UnescapeText(text.data());
  text.resize(std::strlen(text.c_str()));
}

std::string LanguageFileNameFor(std::string_view langId) {
  return langId.empty() ? std::string() : "Lang." + std::string(langId);
}

Translator::Translator(std::string languageFileName, fs::path programDir, fs::path workingDir)
    : fileName_(std::move(languageFileName)), programDir_(std::move(programDir)), workingDir_(std::move(workingDir)) {}

fs::path Translator::LanguageFilePath() const {
  if (fileName_.empty()) { return {}; }
  if (fileName_.find('/') != std::string::npos) { return fileName_; }
  std::error_code ec;
  const fs::path cwd = workingDir_.empty() ? fs::current_path(ec) : workingDir_;
  if (fs::exists(cwd / fileName_, ec)) { return fs::absolute(cwd / fileName_, ec); }
  if (programDir_.empty()) { return {}; }
  fs::path shared = programDir_.parent_path() / "share" / "kestrel" / fileName_;
  if (!fs::exists(programDir_ / fileName_, ec) && fs::exists(shared, ec)) { return shared; }
  return programDir_ / fileName_;
}

namespace {
std::atomic<Translator::LookupObserver> gObserver{nullptr};
} // namespace

void Translator::SetLookupObserver(LookupObserver observer) noexcept { gObserver.store(observer); }

std::optional<std::string> Translator::Lookup(std::string_view section, std::string_view key) const {
  if (auto* observe = gObserver.load(std::memory_order_relaxed)) observe(section, key);
  const fs::path file = LanguageFilePath();
  if (file.empty()) { return std::nullopt; }
  auto value = ini::ReadValue(file, section, key);
  if (value) { UnescapeText(*value); }
  return value;
}

const char* Translator::TranslateString(const char* text) const {
  if (auto* observe = gObserver.load(std::memory_order_relaxed); observe != nullptr && text != nullptr) {
    observe("Common", text);
  }
  if (fileName_.empty() || text == nullptr || *text == '\0') { return text; }
  thread_local std::array<char, kBufferSize> key{};
  thread_local std::array<char, kBufferSize> value{};
  if (!EscapeText(text, key.data(), key.size())) { return text; } // no text of ours is this long
  const fs::path file = LanguageFilePath();
  if (file.empty()) { return text; }
  const auto found = ini::ReadValue(file, "Common", key.data());
  if (!found || found->empty()) { return text; }
  const std::size_t n = std::min(found->size(), value.size() - 1);
  std::memcpy(value.data(), found->data(), n);
  value[n] = '\0';
  UnescapeText(value.data());
  return value.data();
}

} // namespace kestrel
