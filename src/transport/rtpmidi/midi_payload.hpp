// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The RTP-MIDI payload (RFC 6295) inside its RTP packet (RFC 3550): the writer turns captured
// records into packets, the reader turns one sender's packets back into the messages to play.
// The recovery journal is not written; the reader hands its bytes over untouched.
//
// The payload is a MIDI command section, then the journal when its J flag is set. The section
// starts with B J Z P and a length: 4 bits in one byte, or 12 bits over two when B is set. Then the
// MIDI list: commands as a MIDI cable carries them, each after a delta time (1 to 4 bytes of 7 bits,
// the high bit saying another follows) in the RTP clock since the command before; the first
// command's is left out unless Z is set, and the first lies at the packet's timestamp; the list
// may end with a delta time alone. Running status holds within one list, never from the packet
// before. System exclusive may be cut into
// segments, each a command of its own:
//   F0 .. F7 whole      F0 .. F0 first      F7 .. F0 middle      F7 .. F7 last
//   F7 .. F4 cancel: the sender abandons the message
//
// The writer's rules:
//  - one packet holds as many commands as its budget allows (WriterSettings::maxPacket, the RTP
//    header included); a packet is sent when the next command does not fit, or at Flush;
//  - running status for channel messages within a packet; system common and system exclusive
//    messages end it (the MIDI cable's rule), real time leaves it alone;
//  - a system-exclusive message goes whole into the packet in progress or a fresh one when one
//    packet can hold it; a longer one fills the rest of the packet in progress as a first segment,
//    and every following packet carries one middle segment or the last, which later commands
//    may follow. Every packet ends its segment;
//  - the RTP timestamp is the first command's time; a command earlier than the one before it in
//    the same packet keeps its place, at that one's time;
//  - no allocation after construction: the packet is built in a buffer of the budget's size, a
//    long message copied from the record straight into it.
//
// The reader's rules, chosen so that nothing corrupt is ever played:
//  - a packet that is not RTP version 2, or whose CSRC list, extension or padding run past its
//    end, is not read (NotRtp);
//  - P (the first command's status was left out at the source) changes nothing: the list carries
//    that status all the same;
//  - a command section whose length runs past the payload, with bytes after it but no J flag, or a
//    J flag but nothing after it, is not read; within the list, a bad delta time, a command cut by
//    a status byte or by the end, a data byte without a status, or an undefined status (F4, F5,
//    F9, FD) ends the packet's reading there: what came before is played, the broken command is
//    not (Malformed, counted);
//  - real-time bytes (F8..FF) may also stand inside another command, a system-exclusive one too:
//    they are played on their own, before the message around them;
//  - system exclusive is played whole only, at most kMaxLongMessage bytes. Segments are gathered
//    across packets; a sequence that breaks is dropped whole and counted once: a middle or last
//    segment without a first, a first or whole message while one is open, a cancel, a gap in the
//    RTP sequence numbers or a new SSRC while one is open, a malformed packet while one is open,
//    more than kMaxLongMessage bytes. The segments left of a broken sequence are passed over.

#include "core/event_record.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>

namespace kestrel::net::rtpmidi {

inline constexpr std::size_t kRtpHeaderSize = 12;
// The dynamic payload type peers of the session exchange use.
inline constexpr std::uint8_t kDefaultPayloadType = 97;
inline constexpr std::size_t kMaxListLength = 4095; // LEN's 12 bits
inline constexpr std::uint32_t kMaxDeltaTime = 0x0FFFFFFF;
inline constexpr std::size_t kDefaultMaxPacket = 1400; // well inside an Ethernet frame
inline constexpr std::size_t kMinPacket = 32;

// ---- The RTP header ---------------------------------------------------------------------------

struct RtpHeader {
  bool marker = false;
  std::uint8_t payloadType = kDefaultPayloadType;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  friend bool operator==(const RtpHeader&, const RtpHeader&) = default;
};

struct RtpPacket {
  RtpHeader header;
  std::span<const std::byte> payload; // after the CSRC list and extension, before the padding
};

// nullopt when `packet` is not RTP version 2 or its CSRC list, extension or padding run past its end.
[[nodiscard]] std::optional<RtpPacket> ParseRtp(std::span<const std::byte> packet) noexcept;

// The kRtpHeaderSize bytes of `header`: version 2, no padding, extension or CSRC.
void StoreRtpHeader(std::span<std::byte, kRtpHeaderSize> out, const RtpHeader& header) noexcept;

// ---- Writing ----------------------------------------------------------------------------------

struct WriterSettings {
  std::uint32_t ssrc = 0;
  std::uint16_t firstSequence = 0;
  std::uint8_t payloadType = kDefaultPayloadType;
  // Set on every packet. Receivers of the common peers ignore it, some drop packets that have it.
  bool marker = false;
  // Largest packet, RTP header included; at least kMinPacket, at most what a 4095-byte list needs.
  std::size_t maxPacket = kDefaultMaxPacket;
};

enum class WriteResult {
  Queued,  // in the packet in progress, or sent
  NoMidi,  // a record without MIDI (open, close, keep-alive): nothing to send
  Refused, // a short message without a status, a system-exclusive piece that is not a whole
           // message (F0, data bytes, F7, at most kMaxLongMessage bytes): not sent, counted
};

// Where the writer hands each finished packet; the bytes are valid during the call only.
class PacketSink {
public:
  virtual ~PacketSink() = default;
  virtual void Packet(std::span<const std::byte> packet) = 0;
};

// One sender's stream: sequence numbers follow on from packet to packet. One thread only (the
// one that sends for the session).
class PayloadWriter {
public:
  // Allocates the packet buffer; nothing is allocated after.
  explicit PayloadWriter(const WriterSettings& settings);
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;
  PayloadWriter(PayloadWriter&&) noexcept = default;
  PayloadWriter& operator=(PayloadWriter&&) noexcept = default;
  ~PayloadWriter() = default;

  // Adds the MIDI message of a record (MIM_DATA or MIM_LONGDATA) at `time`, in the RTP clock (the
  // caller maps the record's capture time onto it). Packets that fill up go to `sink` meanwhile.
  WriteResult Add(const EventRecord& header, std::span<const std::byte> payload, std::uint32_t time, PacketSink& sink);
  // The same with `send(std::span<const std::byte> packet)`.
  template <class Send>
  requires std::invocable<Send&, std::span<const std::byte>>
      WriteResult Add(const EventRecord& header, std::span<const std::byte> payload, std::uint32_t time, Send&& send);

  // Sends the packet in progress, if any: at the end of each batch of records.
  void Flush(PacketSink& sink);
  template <class Send>
  requires std::invocable<Send&, std::span<const std::byte>>
  void Flush(Send&& send);

  // A packet is in progress.
  [[nodiscard]] bool Pending() const noexcept { return listLength_ > 0; }
  // The sequence number of the next packet sent.
  [[nodiscard]] std::uint16_t NextSequence() const noexcept { return sequence_; }
  // Records refused since construction.
  [[nodiscard]] std::uint64_t Refused() const noexcept { return refused_; }
  // The budget in effect, maxPacket clamped.
  [[nodiscard]] std::size_t MaxPacket() const noexcept;

private:
  struct Slot {
    std::uint32_t delta = 0;
    bool running = false; // the status byte is left out
  };
  // Room for a command of `size` bytes at `time`: the packet in progress when it fits (and its
  // delta time is no longer than kMaxDeltaTime), else a fresh one.
  Slot MakeRoom(std::uint32_t time, std::size_t size, std::uint8_t status, PacketSink& sink);
  void PutShort(std::span<const std::byte> message, std::uint32_t time, PacketSink& sink);
  void PutSysex(std::span<const std::byte> sysex, std::uint32_t time, PacketSink& sink);
  void Start(std::uint32_t time) noexcept;
  // Sends the packet in progress, if any.
  void Finish(PacketSink& sink);
  void AppendDelta(std::uint32_t delta) noexcept;
  void Append(std::span<const std::byte> bytes) noexcept;
  void Append(std::byte b) noexcept;
  [[nodiscard]] std::span<std::byte> List() noexcept;

  WriterSettings settings_;
  std::size_t maxList_ = 0;
  std::unique_ptr<std::byte[]> buffer_; // RTP header, section header, list of maxList_ bytes
  std::size_t listLength_ = 0;          // 0: no packet in progress
  std::uint32_t packetTime_ = 0;
  std::uint32_t lastTime_ = 0; // of the last command in the packet
  std::uint8_t running_ = 0;   // the running status, 0: none
  std::uint16_t sequence_ = 0;
  std::uint64_t refused_ = 0;
};

// ---- Reading ----------------------------------------------------------------------------------

// Where the reader hands each message, in the order they end; valid during the call only.
class MessageSink {
public:
  virtual ~MessageSink() = default;
  // A short message packed as PackShortMessage packs it; `delta` is its time after the packet's
  // RTP timestamp (the sum of the delta times up to its command).
  virtual void ShortMessage(std::uint32_t word, std::uint32_t delta) = 0;
  // A whole system-exclusive message, F0 to F7, data bytes only between.
  virtual void LongMessage(std::span<const std::byte> sysex) = 0;
};

enum class PacketStatus {
  Read,      // every command was read (a system-exclusive message may wait for its next segment)
  NotRtp,    // nothing read
  Malformed, // read up to the fault, or not at all when the section's framing was wrong
};

struct PacketRead {
  PacketStatus status = PacketStatus::NotRtp;
  RtpHeader header; // unless NotRtp
  bool journal = false;
  // The recovery journal's bytes as they came (J set and the section's framing sound).
  std::span<const std::byte> journalBytes;
};

// One sender's packets, in the order they arrive. One per sender (participant); one thread only.
// The buffer for segmented system exclusive is allocated at the first such message and reused:
// steady traffic allocates nothing.
class PayloadReader {
public:
  PacketRead Read(std::span<const std::byte> packet, MessageSink& sink);
  // The same with `shortMessage(std::uint32_t word, std::uint32_t delta)` and
  // `longMessage(std::span<const std::byte> sysex)`.
  template <class Short, class Long>
  PacketRead Read(std::span<const std::byte> packet, Short&& shortMessage, Long&& longMessage);

  // System-exclusive sequences dropped whole since construction.
  [[nodiscard]] std::uint64_t DroppedSysex() const noexcept { return droppedSysex_; }
  // RTP packets whose command section was malformed.
  [[nodiscard]] std::uint64_t Malformed() const noexcept { return malformed_; }
  // Packets that were not RTP.
  [[nodiscard]] std::uint64_t NotRtp() const noexcept { return notRtp_; }
  // A system-exclusive message is waiting for its next segment.
  [[nodiscard]] bool Gathering() const noexcept { return open_; }
  // Forgets the sender: an unfinished message (not counted), its SSRC and sequence number.
  void Reset() noexcept;

private:
  void Follow(const RtpHeader& header) noexcept;
  bool ReadList(std::span<const std::byte> list, bool firstHasDelta, MessageSink& sink);
  bool ReadSysex(std::span<const std::byte> list, std::size_t& pos, std::uint32_t time, MessageSink& sink);
  void Begin();
  bool AppendData(std::span<const std::byte> body) noexcept;
  void End(MessageSink& sink);
  void Break() noexcept;

  std::unique_ptr<std::byte[]> sysex_; // kMaxLongMessage bytes, once needed
  std::size_t sysexLength_ = 0;
  bool open_ = false;     // a first segment came, its last not yet
  bool skipping_ = false; // the rest of a broken sequence is passed over
  bool known_ = false;    // ssrc_ and sequence_ are the sender's
  std::uint32_t ssrc_ = 0;
  std::uint16_t sequence_ = 0; // of the packet read last
  std::uint64_t droppedSysex_ = 0;
  std::uint64_t malformed_ = 0;
  std::uint64_t notRtp_ = 0;
};

// ---- Template definitions ---------------------------------------------------------------------

namespace payload_detail {
template <class Send>
class SendTo final : public PacketSink {
public:
  explicit SendTo(Send& send) : send_(send) {}
  void Packet(std::span<const std::byte> packet) override { send_(packet); }

private:
  Send& send_;
};

template <class Short, class Long>
class PlayTo final : public MessageSink {
public:
  PlayTo(Short& shortMessage, Long& longMessage) : short_(shortMessage), long_(longMessage) {}
  void ShortMessage(std::uint32_t word, std::uint32_t delta) override { short_(word, delta); }
  void LongMessage(std::span<const std::byte> sysex) override { long_(sysex); }

private:
  Short& short_;
  Long& long_;
};
} // namespace payload_detail

template <class Send>
requires std::invocable<Send&, std::span<const std::byte>> WriteResult
PayloadWriter::Add(const EventRecord& header, std::span<const std::byte> payload, std::uint32_t time, Send&& send) {
  payload_detail::SendTo<std::remove_reference_t<Send>> sink(send);
  return Add(header, payload, time, static_cast<PacketSink&>(sink));
}

template <class Send>
requires std::invocable<Send&, std::span<const std::byte>>
void PayloadWriter::Flush(Send&& send) {
  payload_detail::SendTo<std::remove_reference_t<Send>> sink(send);
  Flush(static_cast<PacketSink&>(sink));
}

template <class Short, class Long>
PacketRead PayloadReader::Read(std::span<const std::byte> packet, Short&& shortMessage, Long&& longMessage) {
  payload_detail::PlayTo<std::remove_reference_t<Short>, std::remove_reference_t<Long>> sink(shortMessage, longMessage);
  return Read(packet, static_cast<MessageSink&>(sink));
}

} // namespace kestrel::net::rtpmidi
