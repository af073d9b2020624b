// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/ini_file.hpp"

#include "base/text.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace kestrel::ini {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view s) noexcept {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) { return {}; }
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// One line of a profile file as the reader sees it.
struct Line {
  enum class Kind { Other, Section, Key } kind = Kind::Other;
  std::string_view name;  // section or key name, trimmed
  std::string_view value; // key lines: the value, trimmed, quotes kept
};

Line Parse(std::string_view raw) noexcept {
  if (!raw.empty() && raw.back() == '\r') { raw.remove_suffix(1); }
  const std::string_view text = Trim(raw);
  Line line;
  if (text.empty() || text.front() == ';') { return line; }
  if (text.front() == '[') {
    const auto close = text.find(']');
    line.kind = Line::Kind::Section;
    line.name = Trim(text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return line;
  }
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) { return line; }
  line.kind = Line::Kind::Key;
  line.name = Trim(text.substr(0, eq));
  line.value = Trim(text.substr(eq + 1));
  return line;
}

bool IsBlank(std::string_view raw) noexcept {
  if (!raw.empty() && raw.back() == '\r') { raw.remove_suffix(1); }
  return Trim(raw).empty();
}

std::string_view StripQuotes(std::string_view v) noexcept {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// Calls fn(lineStart, lineEnd, Line) for every line; lineEnd excludes the line feed.
template <class Fn>
void ForEachLine(std::string_view content, Fn&& fn) {
  // A UTF-8 byte order mark, as some editors write, must not hide the first section.
  std::size_t start = content.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  while (start < content.size()) {
    auto end = content.find('\n', start);
    if (end == std::string_view::npos) { end = content.size(); }
    if (!fn(start, end, Parse(content.substr(start, end - start)))) { return; }
    start = end + 1;
  }
}

std::string Describe(const std::filesystem::path& file, const char* what, int err) {
  return std::string(what) + " " + file.string() + ": " + std::generic_category().message(err);
}

// The umask, read without changing it (umask() itself can only be read by setting it, which
// would race with other threads creating files).
mode_t ProcessUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Umask:")) { return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8)); }
  }
  return 022;
}

} // namespace

std::optional<std::string> ReadFile(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec || size > kMaxFileSize) { return std::nullopt; }
  std::ifstream in(file, std::ios::binary);
  if (!in) { return std::nullopt; }
  std::string content(static_cast<std::size_t>(size), '\0');
  in.read(content.data(), static_cast<std::streamsize>(size));
  content.resize(static_cast<std::size_t>(in.gcount()));
  return content;
}

std::optional<std::string> FindValue(std::string_view content, std::string_view section, std::string_view key) {
  std::optional<std::string> found;
  bool inSection = false;
  ForEachLine(content, [&](std::size_t, std::size_t, const Line& line) {
    if (line.kind == Line::Kind::Section) {
      inSection = EqualsIgnoringCase(line.name, section);
    } else if (inSection && line.kind == Line::Kind::Key && EqualsIgnoringCase(line.name, key)) {
      found = std::string(StripQuotes(line.value));
      return false;
    }
    return true;
  });
  return found;
}

std::optional<std::string> ReadValue(const std::filesystem::path& file, std::string_view section,
                                     std::string_view key) {
  const auto content = ReadFile(file);
  if (!content) { return std::nullopt; }
  return FindValue(*content, section, key);
}

std::int32_t LeadingNumber(std::string_view value) noexcept {
  value = Trim(value);
  bool negative = false;
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  std::int64_t n = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') { break; }
    n = n * 10 + (c - '0');
    if (n > std::int64_t{INT32_MAX} + 1) { n = std::int64_t{INT32_MAX} + 1; }
  }
  if (negative) { n = -n; }
  if (n > INT32_MAX) { n = INT32_MAX; }
  return static_cast<std::int32_t>(n);
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target = file;
  // Write through a link to where it points, so that a linked settings file stays linked.
  if (fs::is_symlink(target, ec)) { target = fs::weakly_canonical(target, ec); }
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  fs::create_directories(folder, ec);

  // An existing file keeps its mode; a new one gets what the user's umask allows.
  mode_t mode = 0666 & ~ProcessUmask();
  struct stat st {};
  if (stat(target.c_str(), &st) == 0) { mode = st.st_mode & 07777; }

  // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about "." + name + suffix.
  std::string leaf(".");
  leaf.append(target.filename().string()).append(".XXXXXX");
  std::string temp = (folder / leaf).string();
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    if (error != nullptr) { *error = Describe(target, "cannot write", errno); }
    return false;
  }
  bool ok = true;
  int err = 0;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) { continue; }
    if (n <= 0) {
      ok = false;
      err = errno;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (ok && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
    ok = false;
    err = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(name.data(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(name.data());
    if (error != nullptr) { *error = Describe(target, "cannot write", err); }
  }
  return ok;
}

bool WriteValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                std::string_view value, std::string* error) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    if (error != nullptr) { *error = "a setting cannot hold a line break"; }
    return false;
  }
  std::string content;
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    auto old = ReadFile(file);
    if (!old) {
      if (error != nullptr) { *error = "cannot read " + file.string() + " (missing rights, or larger than 4 MiB)"; }
      return false;
    }
    content = std::move(*old);
  }

  // Find the section, the key's line in it, and where the section's last non-blank line ends.
  bool inSection = false;
  bool sectionFound = false;
  std::size_t keyStart = std::string::npos;
  std::size_t keyEnd = 0;
  std::size_t sectionEnd = std::string::npos; // just after the section's last non-blank line
  std::string_view keyName;
  ForEachLine(content, [&](std::size_t start, std::size_t end, const Line& line) {
    if (line.kind == Line::Kind::Section) {
      if (sectionFound && inSection) { return false; } // the section we want has ended
      inSection = EqualsIgnoringCase(line.name, section);
      if (inSection) {
        sectionFound = true;
        sectionEnd = end;
      }
      return true;
    }
    if (!inSection) { return true; }
    if (!IsBlank(std::string_view(content).substr(start, end - start))) { sectionEnd = end; }
    if (line.kind == Line::Kind::Key && EqualsIgnoringCase(line.name, key)) {
      keyStart = start;
      keyEnd = end;
      keyName = line.name;
      return false;
    }
    return true;
  });

  const bool crlf = content.find("\r\n") != std::string::npos;
  const std::string_view eol = crlf ? "\r\n" : "\n";
  if (keyStart != std::string::npos) {
    const bool hadCr = keyEnd > keyStart && content[keyEnd - 1] == '\r';
    std::string line = std::string(keyName) + "=" + std::string(value);
    if (hadCr) { line += '\r'; }
    content.replace(keyStart, keyEnd - keyStart, line);
  } else if (sectionFound) {
    std::string line = std::string(eol) + std::string(key) + "=" + std::string(value);
    std::size_t at = sectionEnd;
    if (at > 0 && content[at - 1] == '\r') { --at; }
    content.insert(at, line);
    if (at == content.size() - line.size()) { content += eol; }
  } else {
    if (!content.empty() && content.back() != '\n') { content += eol; }
    if (!content.empty()) { content += eol; }
    content += "[" + std::string(section) + "]" + std::string(eol) + std::string(key) + "=" + std::string(value) +
               std::string(eol);
  }
  return WriteFileAtomically(file, content, error);
}

} // namespace kestrel::ini
