// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/wire/raw_midi.hpp"

namespace kestrel {

std::size_t RawMessageLength(std::uint8_t status) noexcept {
  if (status < 0x80) return 0;
  switch (status & 0xF0U) {
  case 0xC0:
  case 0xD0: return 2;
  case 0xF0: break;
  default: return 3;
  }
  switch (status) {
  case 0xF1:
  case 0xF3: return 2;
  case 0xF2: return 3;
  case 0xF6:
  case 0xF8:
  case 0xFA:
  case 0xFB:
  case 0xFC:
  case 0xFE:
  case 0xFF: return 1;
  default: return 0; // 0xF0 and 0xF7 (system-exclusive), and the undefined 0xF4, 0xF5, 0xF9, 0xFD
  }
}

RawBytes EncodeRawMidi(const EventRecord& header, std::span<const std::byte> payload,
                       std::array<std::byte, 3>& scratch) noexcept {
  if (header.Is(RecordType::MIM_DATA)) {
    if (payload.size() < 4) return {RawEncoding::Malformed, {}};
    const auto word = static_cast<std::uint32_t>(LoadLE32(payload.data()));
    const auto status = static_cast<std::uint8_t>(word & 0xFFU);
    const std::size_t length = RawMessageLength(status);
    if (length == 0) return {RawEncoding::Malformed, {}};
    scratch[0] = static_cast<std::byte>(status);
    scratch[1] = static_cast<std::byte>((word >> 8U) & 0x7FU);
    scratch[2] = static_cast<std::byte>((word >> 16U) & 0x7FU);
    return {RawEncoding::Bytes, std::span<const std::byte>(scratch.data(), length)};
  }
  if (header.Is(RecordType::MIM_LONGDATA)) {
    if (payload.size() < 2 || payload.front() != std::byte{0xF0} || payload.back() != std::byte{0xF7}) {
      return {RawEncoding::Incomplete, {}};
    }
    if (payload.size() > kMaxRawDatagram) return {RawEncoding::TooLong, {}};
    return {RawEncoding::Bytes, payload};
  }
  return {RawEncoding::NoMidi, {}};
}

void RawMidiParser::DropGathered() noexcept {
  if (!gathering_) return;
  gathering_ = false;
  ++droppedSysex_;
}

} // namespace kestrel
