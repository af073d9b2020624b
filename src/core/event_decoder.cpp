// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/event_decoder.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace kestrel {

namespace {

// snprintf into a span; returns the length actually kept.
[[gnu::format(printf, 2, 3)]] std::size_t Print(std::span<char> out, const char* format, ...) noexcept {
  if (out.empty()) { return 0; }
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(out.data(), out.size(), format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return std::min(static_cast<std::size_t>(n), out.size() - 1);
}

// Payload byte i, or 0 past the end: rows of any length decode without reading out of bounds.
unsigned At(std::span<const std::byte> payload, std::size_t i) noexcept {
  return i < payload.size() ? std::to_integer<unsigned>(payload[i]) : 0U;
}

std::size_t HexBytes(std::span<char> out, std::span<const std::byte> bytes) noexcept {
  std::size_t n = 0;
  if (!out.empty()) { out[0] = '\0'; }
  for (const std::byte b : bytes) { n += Print(out.subspan(n), "%02x ", std::to_integer<unsigned>(b)); }
  return n;
}

// A byte of text as the dump shows it: printable ASCII as itself, control bytes, DEL and bytes
// above 0x7F (which would start escape sequences, line breaks or broken UTF-8) as '.'.
char Printable(std::byte b) noexcept {
  const auto c = std::to_integer<unsigned char>(b);
  return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
}

// The payload word of a row of at most four bytes. A long message of one to three bytes (the end
// of a system-exclusive dump) shows its own bytes, padded with zeros, not a word of zeros.
std::uint32_t ShortWord(std::span<const std::byte> payload) noexcept {
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(payload.size(), 4); ++i) {
    word |= std::to_integer<std::uint32_t>(payload[i]) << (8U * i);
  }
  return word;
}

} // namespace

std::size_t FormatShortHex(std::span<char> out, std::uint32_t word) noexcept {
  std::array<std::byte, 4> bytes{};
  for (std::size_t i = 0; i < 4; ++i) { bytes[i] = static_cast<std::byte>((word >> (8U * i)) & 0xFFU); }
  std::size_t count = 2;
  if ((word >> 24U) != 0) {
    count = 4;
  } else if (((word >> 16U) & 0xFFU) != 0) {
    count = 3;
  }
  return HexBytes(out, std::span<const std::byte>(bytes.data(), count));
}

VarLength ReadVarLength(std::span<const std::byte> bytes) noexcept {
  VarLength v;
  if (bytes.empty()) { return v; }
  std::uint32_t b = std::to_integer<std::uint32_t>(bytes[0]);
  v.used = 1;
  v.value = b;
  if (b < 0x80) { return v; }
  v.value = b & 0x7FU;
  while (v.used < bytes.size() && v.used < 4) {
    b = std::to_integer<std::uint32_t>(bytes[v.used]);
    ++v.used;
    v.value = (v.value << 7U) | (b & 0x7FU);
    if (b < 0x80) { break; }
  }
  return v;
}

std::size_t EventDecoder::DecodeMeta(std::span<char> out, std::span<const std::byte> payload) noexcept {
  const unsigned type = At(payload, 1);
  const VarLength length = ReadVarLength(payload.size() > 2 ? payload.subspan(2) : std::span<const std::byte>{});
  const std::size_t start = 2 + std::max<std::size_t>(length.used, 1);
  const auto data = [&](std::size_t i) { return At(payload, start + i); };

  // The meta text, at most 255 bytes and never past the payload. It comes from the LAN and ends
  // up on terminals and in logs, so anything but printable ASCII shows as '.'.
  std::array<char, 256> text{};
  if (start < payload.size()) {
    const std::size_t n = std::min({static_cast<std::size_t>(length.value), payload.size() - start, text.size() - 1});
    for (std::size_t i = 0; i < n; ++i) { text[i] = Printable(payload[start + i]); }
  }

  switch (type) {
  case 0x00: return Print(out, "SEQUENCE NUMBER (%u)", data(0) * 256U + data(1));
  case 0x01: return Print(out, "TEXT EVENT (%s)", text.data());
  case 0x02: return Print(out, "COPYWRITE EVENT (%s)", text.data());
  case 0x03: return Print(out, "TRACK NAME EVENT (%s)", text.data());
  case 0x04: return Print(out, "INSTRUMENT NAME EVENT (%s)", text.data());
  case 0x05: return Print(out, "LYRIC EVENT (%s)", text.data());
  case 0x06: return Print(out, "MARKER EVENT (%s)", text.data());
  case 0x07: return Print(out, "CUE EVENT (%s)", text.data());
  case 0x2F: return Print(out, "END OF TRACK");
  case 0x51: return Print(out, "TEMPO EVENT (%u)", (data(0) << 16U) | (data(1) << 8U) | data(2));
  case 0x58: return Print(out, "TIME SIG EVENT (%X,%X,%X,%X)", data(0), data(1), data(2), data(3));
  case 0x59: return Print(out, "KEY SIG EVENT (%X,%X)", data(0), data(1));
  case 0x7F: return Print(out, "SEQUENCER DATA EVENT");
  default: return Print(out, "*** undefined event *** (%d, type: %u,length %u)", 255, type, length.value);
  }
}

std::size_t EventDecoder::DecodeEventText(std::span<char> out, const RecordView& record) noexcept {
  const std::span<const std::byte> payload = record.payload;
  const unsigned b0 = At(payload, 0);
  switch (b0) {
  case 0xFF: return DecodeMeta(out, payload);
  case 0xF0:
  case 0xF7: {
    const VarLength length = ReadVarLength(payload.size() > 1 ? payload.subspan(1) : std::span<const std::byte>{});
    return Print(out, "Sysex type 1 [length: %u (%d)]", length.value, record.header.dataLength);
  }
  case 0xF1: return Print(out, "Time Code %02X", At(payload, 1));
  case 0xF8: return Print(out, "Timing Clock");
  case 0xFE: return Print(out, "Active Sensing");
  default: break;
  }

  unsigned status = 0;
  unsigned data1 = 0;
  unsigned data2 = 0;
  if (b0 >= 0x80) {
    status = b0;
    runningStatus_ = static_cast<std::uint8_t>(b0);
    data1 = At(payload, 1);
    data2 = At(payload, 2);
  } else {
    status = runningStatus_;
    data1 = b0;
    data2 = At(payload, 1);
  }
  const unsigned channel = (status & 0x0FU) + 1U;
  switch (status & 0xF0U) {
  case 0x80: return Print(out, "[%u] Note off (%u,%u)", channel, data1, data2);
  case 0x90: return Print(out, "[%u] Note on (%u,%u)", channel, data1, data2);
  case 0xA0: return Print(out, "[%u] Note presure (%u,%u)", channel, data1, data2);
  case 0xB0: return Print(out, "[%u] Control Change (%u,%u)", channel, data1, data2);
  case 0xC0: return Print(out, "[%u] Program change (%u)", channel, data1);
  // Channel pressure carries one data byte; the second place shows data 2, 0 when captured.
  case 0xD0: return Print(out, "[%u] Channel Pressure (%u,%u)", channel, data1, data2);
  case 0xE0: return Print(out, "[%u] Pitch change (%u,%u)", channel, data1, data2);
  default: return Print(out, "MIDI ERROR (F0 midi command)");
  }
}

std::size_t EventDecoder::CellText(std::span<char> out, const RecordView& record, int column) noexcept {
  const EventRecord& h = record.header;
  const bool notice = h.Is(RecordType::MIM_OPEN) || h.Is(RecordType::MIM_CLOSE);
  switch (column) {
  case static_cast<int>(DumpColumn::TimeStamp): {
    const auto lag =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(h.captureTime) - static_cast<std::uint32_t>(h.timestamp));
    return Print(out, "%d %d", h.timestamp, lag);
  }
  case static_cast<int>(DumpColumn::Port): return Print(out, "%d", h.port);
  case static_cast<int>(DumpColumn::Hex):
    if (h.dataLength > 4) {
      return HexBytes(out, record.payload.first(std::min<std::size_t>(record.payload.size(), 6)));
    }
    if (notice) { return Print(out, "%s", ""); }
    return FormatShortHex(out, ShortWord(record.payload));
  case static_cast<int>(DumpColumn::Code):
    if (h.Is(RecordType::MIM_OPEN)) { return Print(out, "Port Opened"); }
    if (h.Is(RecordType::MIM_CLOSE)) { return Print(out, "Port Closed"); }
    return DecodeEventText(out, record);
  default: return Print(out, "*");
  }
}

} // namespace kestrel
