// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The text of the MIDI dump: what each cell of a row shows for a logged record. Rows are decoded
// only when they are drawn, so nothing here is stored per row. No allocation; every function
// writes into the caller's buffer, always zero-terminated and cut to fit.

#include "core/event_record.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

enum class DumpColumn { TimeStamp = 0, Port = 1, Hex = 2, Code = 3 };
inline constexpr int kDumpColumns = 4;

// The bytes of a packed short message, lowest first, each as "%02x ": 4 bytes when the highest
// byte is non-zero, else 3 when the third is, else 2.
std::size_t FormatShortHex(std::span<char> out, std::uint32_t word) noexcept;

struct VarLength {
  std::uint32_t value = 0;
  std::size_t used = 0; // bytes taken
};

// A MIDI variable-length quantity. Takes at most four bytes and never reads past `bytes`.
[[nodiscard]] VarLength ReadVarLength(std::span<const std::byte> bytes) noexcept;

// Decodes rows for one dump view. Holds the running status: the last status byte met, which a
// following row that starts with a data byte continues. Rows are decoded in drawing order, so
// the running status follows drawing, not arrival. One thread (the view's).
class EventDecoder {
public:
  // The "Code" column of a record: channel messages, system messages, system-exclusive and
  // standard MIDI file meta events. Meta text shows printable ASCII only, every other byte as
  // '.', so a row is always one line of printable characters whatever the LAN sent.
  std::size_t DecodeEventText(std::span<char> out, const RecordView& record) noexcept;

  // The text of one cell; columns other than the four give "*".
  std::size_t CellText(std::span<char> out, const RecordView& record, int column) noexcept;

  [[nodiscard]] std::uint8_t RunningStatus() const noexcept { return runningStatus_; }

private:
  std::size_t DecodeMeta(std::span<char> out, std::span<const std::byte> payload) noexcept;

  std::uint8_t runningStatus_ = 0;
};

} // namespace kestrel
