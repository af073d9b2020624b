// SPDX-License-Identifier: GPL-3.0-or-later
// The RTP-MIDI codec against three kinds of input, with checks that trap on any wrong answer:
//  - the input as a session packet: the reader reads nothing past it, and a packet it takes is
//    written back to the same bytes (padding aside) and read back the same;
//  - the input as one sender's RTP packets (each after a mode byte and a length byte; the mode may
//    put a well-formed RTP header in front, in sequence or not): every message played is well
//    formed, a packet that is not RTP plays nothing, the journal lies inside its packet;
//  - the input as a list of messages at rising times: written into packets of a budget the input
//    picks, then read, they come back in order, at their times, byte by byte, nothing dropped.
#include "core/wire/raw_midi.hpp"
#include "transport/rtpmidi/midi_payload.hpp"
#include "transport/rtpmidi/session_packets.hpp"

#include "fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace kestrel::net::rtpmidi {
namespace {

using fuzz::Check;
using fuzz::CheckShortMessage;
using fuzz::ExactCopy;

bool Within(std::span<const std::byte> inner, std::span<const std::byte> whole) {
  return inner.empty() || (inner.data() >= whole.data() && inner.data() + inner.size() <= whole.data() + whole.size());
}

// ---- the input as a session packet -------------------------------------------------------------

void ReadSessionPacket(std::span<const std::byte> input) {
  const ExactCopy packet(input);
  const DecodedSession d = DecodeSessionPacket(packet.span);
  const bool signed0xFFFF = input.size() >= 2 && input[0] == std::byte{0xFF} && input[1] == std::byte{0xFF};
  Check((d.result == SessionDecode::NotSession) == !signed0xFFFF);
  if (d.result != SessionDecode::Packet) return;
  if (d.packet.name) {
    Check(IsSessionName(*d.packet.name));
    Check(Within(std::as_bytes(std::span(d.packet.name->data(), d.packet.name->size())), packet.span));
  }
  std::array<std::byte, kMaxSessionPacket> out{};
  const std::size_t n = EncodeSessionPacket(d.packet, out);
  Check(n == input.size());
  const bool clock = d.packet.command == SessionCommand::Clock;
  const bool feedback = d.packet.command == SessionCommand::Feedback;
  for (std::size_t i = 0; i < n; ++i) {
    const bool padding = (clock && i >= 9 && i < 12) || (feedback && i >= 10);
    Check(padding || out.at(i) == input[i]);
  }
  const DecodedSession again = DecodeSessionPacket(std::span(out).first(n));
  Check(again.result == SessionDecode::Packet && again.packet == d.packet);
}

// ---- the input as one sender's packets ---------------------------------------------------------

void CheckLong(std::span<const std::byte> sysex) {
  Check(sysex.size() >= 2 && sysex.size() <= kMaxLongMessage);
  Check(sysex.front() == std::byte{0xF0} && sysex.back() == std::byte{0xF7});
  Check(std::all_of(sysex.begin() + 1, sysex.end() - 1, [](std::byte b) { return b < std::byte{0x80}; }));
}

void ReadHostilePackets(std::span<const std::uint8_t> input) {
  PayloadReader reader;
  std::uint16_t sequence = 0;
  while (input.size() >= 2) {
    const std::uint8_t mode = input[0];
    const std::size_t scale = (mode & 8U) != 0 ? 17 : 1; // up to a list of 4095 bytes and more
    const std::size_t length = std::min<std::size_t>(input[1] * scale, input.size() - 2);
    const auto body = std::as_bytes(input.subspan(2, length));
    input = input.subspan(2 + length);
    std::vector<std::byte> bytes;
    if ((mode & 1U) != 0) { // a header that passes, so that the payload is what gets tested
      bytes.resize(kRtpHeaderSize);
      sequence = static_cast<std::uint16_t>(sequence + ((mode & 2U) != 0 ? 2 : 1));
      StoreRtpHeader(std::span(bytes).first<kRtpHeaderSize>(),
                     {false, kDefaultPayloadType, sequence, 0, (mode >> 4U) & 1U});
    }
    bytes.insert(bytes.end(), body.begin(), body.end());
    const ExactCopy packet(bytes);
    int played = 0;
    const PacketRead r = reader.Read(
        packet.span,
        [&](std::uint32_t word, std::uint32_t) {
          ++played;
          CheckShortMessage(word);
        },
        [&](std::span<const std::byte> sysex) {
          ++played;
          CheckLong(sysex);
        });
    if (r.status == PacketStatus::NotRtp) Check(played == 0 && !ParseRtp(packet.span));
    Check(Within(r.journalBytes, packet.span));
    Check(r.journal || r.journalBytes.empty());
    if (r.status == PacketStatus::Read && r.journal) Check(!r.journalBytes.empty());
  }
}

// ---- the input as messages to send -------------------------------------------------------------

struct Message {
  std::uint32_t word = 0; // 0: system exclusive
  std::vector<std::byte> sysex;
  std::uint32_t time = 0;
};

Message MakeMessage(FuzzedDataProvider& in, std::uint32_t time) {
  Message m;
  m.time = time;
  if (in.ConsumeIntegralInRange(0, 4) != 0) {
    std::uint8_t status = 0;
    while (RawMessageLength(status) == 0)
      status = static_cast<std::uint8_t>(0x80U | in.ConsumeIntegral<std::uint8_t>());
    const std::size_t n = RawMessageLength(status);
    const auto d1 = static_cast<std::uint8_t>(n >= 2 ? in.ConsumeIntegral<std::uint8_t>() & 0x7FU : 0);
    const auto d2 = static_cast<std::uint8_t>(n >= 3 ? in.ConsumeIntegral<std::uint8_t>() & 0x7FU : 0);
    m.word = PackShortMessage(status, d1, d2);
    return m;
  }
  std::size_t length = 2;
  switch (in.ConsumeIntegralInRange(0, 3)) {
  case 0: length = in.ConsumeIntegralInRange<std::size_t>(2, 16); break;
  case 1: length = in.ConsumeIntegralInRange<std::size_t>(2, 1500); break;
  case 2: length = in.ConsumeIntegralInRange<std::size_t>(2, 5000); break;
  default: length = in.ConsumeIntegralInRange<std::size_t>(2, kMaxLongMessage); break;
  }
  m.sysex = in.ConsumeBytes<std::byte>(length);
  const auto seed = static_cast<std::uint8_t>(m.sysex.size() + length);
  for (std::size_t i = m.sysex.size(); i < length; ++i) m.sysex.push_back(static_cast<std::byte>(seed + i * 31));
  for (std::byte& b : m.sysex) b &= std::byte{0x7F};
  m.sysex.front() = std::byte{0xF0};
  m.sysex.back() = std::byte{0xF7};
  return m;
}

void WriteAndReadBack(std::span<const std::uint8_t> input) {
  FuzzedDataProvider in(input.data(), input.size());
  WriterSettings settings;
  settings.maxPacket = in.ConsumeIntegralInRange<std::size_t>(0, 5000); // clamped by the writer
  settings.firstSequence = in.ConsumeIntegral<std::uint16_t>();
  settings.ssrc = in.ConsumeIntegral<std::uint32_t>();
  PayloadWriter writer(settings);
  PayloadReader reader;
  std::deque<Message> pending; // written, not yet read back
  std::uint16_t sequence = settings.firstSequence;
  const auto receive = [&](std::span<const std::byte> sent) {
    Check(sent.size() <= writer.MaxPacket());
    const ExactCopy packet(sent);
    const std::optional<RtpPacket> rtp = ParseRtp(packet.span);
    Check(rtp && rtp->header.sequence == sequence++ && rtp->header.ssrc == settings.ssrc);
    const std::uint32_t stamp = rtp->header.timestamp;
    const PacketRead r = reader.Read(
        packet.span,
        [&](std::uint32_t word, std::uint32_t delta) {
          Check(!pending.empty() && pending.front().word == word && pending.front().time == stamp + delta);
          pending.pop_front();
        },
        [&](std::span<const std::byte> sysex) {
          Check(!pending.empty() && pending.front().word == 0 && std::ranges::equal(pending.front().sysex, sysex));
          pending.pop_front();
        });
    Check(r.status == PacketStatus::Read && !r.journal);
  };
  std::uint32_t time = in.ConsumeIntegral<std::uint32_t>();
  while (in.remaining_bytes() > 0) {
    time += in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 300)
                             : in.ConsumeIntegralInRange<std::uint32_t>(0, 0x1FFFFFFF);
    pending.push_back(MakeMessage(in, time));
    const Message& m = pending.back();
    EventRecord h;
    h.type = static_cast<std::int32_t>(m.word != 0 ? RecordType::MIM_DATA : RecordType::MIM_LONGDATA);
    std::array<std::byte, 4> word{};
    StoreLE32(word.data(), static_cast<std::int32_t>(m.word));
    const std::span<const std::byte> payload = m.word != 0 ? std::span<const std::byte>(word) : std::span(m.sysex);
    Check(writer.Add(h, payload, m.time, receive) == WriteResult::Queued);
    if (in.ConsumeIntegralInRange(0, 7) == 0) writer.Flush(receive);
  }
  writer.Flush(receive);
  Check(pending.empty() && !writer.Pending());
  Check(reader.DroppedSysex() == 0 && reader.Malformed() == 0 && !reader.Gathering());
}

} // namespace
} // namespace kestrel::net::rtpmidi

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  kestrel::net::rtpmidi::ReadSessionPacket(std::as_bytes(input));
  kestrel::net::rtpmidi::ReadHostilePackets(input);
  kestrel::net::rtpmidi::WriteAndReadBack(input);
  return 0;
}
