// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/json_text.hpp"

#include "base/text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel {

std::string JsonString(std::string_view text) {
  static constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
      if (c < 0x20 || c == 0x7F) {
        out += "\\u00";
        out += kHex[c >> 4U];
        out += kHex[c & 0x0FU];
      } else {
        out += static_cast<char>(c);
      }
    }
    ++i;
  }
  out += '"';
  return out;
}

} // namespace kestrel
