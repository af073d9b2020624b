// SPDX-License-Identifier: GPL-3.0-or-later
#include "transport/rtpmidi/midi_payload.hpp"

#include "core/wire/raw_midi.hpp"
#include "transport/rtpmidi/big_endian.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrel::net::rtpmidi {

namespace {

constexpr std::size_t kListOffset = kRtpHeaderSize + 2; // room for the long section header
constexpr std::size_t kShortListMax = 15;               // what one header byte's LEN holds
constexpr std::uint8_t kFlagB = 0x80;
constexpr std::uint8_t kFlagJ = 0x40;
constexpr std::uint8_t kFlagZ = 0x20;
constexpr std::byte kSysexStart{0xF0};
constexpr std::byte kSysexEnd{0xF7};

std::uint8_t At(std::span<const std::byte> bytes, std::size_t i) noexcept {
  return std::to_integer<std::uint8_t>(bytes[i]);
}

// F8..FF but the undefined F9 and FD.
bool IsRealTime(std::uint8_t b) noexcept { return b >= 0xF8 && b != 0xF9 && b != 0xFD; }

std::size_t DeltaBytes(std::uint32_t delta) noexcept {
  if (delta < (1U << 7U)) return 1;
  if (delta < (1U << 14U)) return 2;
  if (delta < (1U << 21U)) return 3;
  return 4;
}

// A delta time at `pos`; false when it runs past the list or past four bytes.
bool ReadDelta(std::span<const std::byte> list, std::size_t& pos, std::uint32_t& delta) noexcept {
  delta = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos == list.size()) return false;
    const std::uint8_t b = At(list, pos++);
    delta = (delta << 7U) | (b & 0x7FU);
    if ((b & 0x80U) == 0) return true;
  }
  return false;
}

} // namespace

// ---- The RTP header ---------------------------------------------------------------------------

std::optional<RtpPacket> ParseRtp(std::span<const std::byte> packet) noexcept {
  if (packet.size() < kRtpHeaderSize) return std::nullopt;
  const std::uint8_t first = At(packet, 0);
  if ((first >> 6U) != 2) return std::nullopt;
  RtpPacket p;
  p.header.marker = (At(packet, 1) & 0x80U) != 0;
  p.header.payloadType = static_cast<std::uint8_t>(At(packet, 1) & 0x7FU);
  p.header.sequence = LoadBE16(packet.data() + 2);
  p.header.timestamp = LoadBE32(packet.data() + 4);
  p.header.ssrc = LoadBE32(packet.data() + 8);
  std::size_t start = kRtpHeaderSize + 4 * std::size_t{first & 0x0FU}; // the CSRC list
  if (start > packet.size()) return std::nullopt;
  if ((first & 0x10U) != 0) { // an extension: 16 bits of profile, 16 of length in 32-bit words
    if (packet.size() - start < 4) return std::nullopt;
    start += 4 + 4 * std::size_t{LoadBE16(packet.data() + start + 2)};
    if (start > packet.size()) return std::nullopt;
  }
  std::size_t end = packet.size();
  if ((first & 0x20U) != 0) { // padding: its last byte counts it, itself included
    const std::size_t padding = At(packet, end - 1);
    if (padding == 0 || padding > end - start) return std::nullopt;
    end -= padding;
  }
  p.payload = packet.subspan(start, end - start);
  return p;
}

void StoreRtpHeader(std::span<std::byte, kRtpHeaderSize> out, const RtpHeader& header) noexcept {
  out[0] = std::byte{0x80};
  out[1] = static_cast<std::byte>((header.marker ? 0x80U : 0U) | (header.payloadType & 0x7FU));
  StoreBE16(out.data() + 2, header.sequence);
  StoreBE32(out.data() + 4, header.timestamp);
  StoreBE32(out.data() + 8, header.ssrc);
}

// ---- Writing ----------------------------------------------------------------------------------

PayloadWriter::PayloadWriter(const WriterSettings& settings)
    : settings_(settings), maxList_(std::min(kMaxListLength, std::max(settings.maxPacket, kMinPacket) - kListOffset)),
      buffer_(std::make_unique<std::byte[]>(kListOffset + maxList_)), sequence_(settings.firstSequence) {}

std::size_t PayloadWriter::MaxPacket() const noexcept { return kListOffset + maxList_; }

std::span<std::byte> PayloadWriter::List() noexcept { return {buffer_.get() + kListOffset, maxList_}; }

WriteResult PayloadWriter::Add(const EventRecord& header, std::span<const std::byte> payload, std::uint32_t time,
                               PacketSink& sink) {
  if (header.Is(RecordType::MIM_DATA)) {
    const std::uint32_t word = payload.size() >= 4 ? static_cast<std::uint32_t>(LoadLE32(payload.data())) : 0;
    const auto status = static_cast<std::uint8_t>(word & 0xFFU);
    const std::size_t length = RawMessageLength(status);
    if (length == 0) {
      ++refused_;
      return WriteResult::Refused;
    }
    const std::array<std::byte, 3> message{static_cast<std::byte>(status), static_cast<std::byte>((word >> 8U) & 0x7FU),
                                           static_cast<std::byte>((word >> 16U) & 0x7FU)};
    PutShort(std::span(message).first(length), time, sink);
    return WriteResult::Queued;
  }
  if (header.Is(RecordType::MIM_LONGDATA)) {
    const bool whole =
        payload.size() >= 2 && payload.size() <= kMaxLongMessage && payload.front() == kSysexStart &&
        payload.back() == kSysexEnd &&
        std::all_of(payload.begin() + 1, payload.end() - 1, [](std::byte b) { return b < std::byte{0x80}; });
    if (!whole) {
      ++refused_;
      return WriteResult::Refused;
    }
    PutSysex(payload, time, sink);
    return WriteResult::Queued;
  }
  return WriteResult::NoMidi;
}

void PayloadWriter::Flush(PacketSink& sink) { Finish(sink); }

PayloadWriter::Slot PayloadWriter::MakeRoom(std::uint32_t time, std::size_t size, std::uint8_t status,
                                            PacketSink& sink) {
  if (listLength_ > 0) {
    const std::uint32_t later = time - lastTime_;
    const std::uint32_t delta = later >= 0x80000000U ? 0 : later; // earlier: at the command before's time
    const bool running = status < 0xF0 && status == running_;
    const std::size_t need = DeltaBytes(delta) + size - (running ? 1 : 0);
    if (delta <= kMaxDeltaTime && need <= maxList_ - listLength_) return {delta, running};
    Finish(sink);
  }
  Start(time);
  return {};
}

void PayloadWriter::Start(std::uint32_t time) noexcept {
  listLength_ = 0;
  packetTime_ = time;
  lastTime_ = time;
  running_ = 0;
}

void PayloadWriter::PutShort(std::span<const std::byte> message, std::uint32_t time, PacketSink& sink) {
  const auto status = std::to_integer<std::uint8_t>(message[0]);
  const Slot slot = MakeRoom(time, message.size(), status, sink);
  if (listLength_ > 0) AppendDelta(slot.delta);
  Append(slot.running ? message.subspan(1) : message);
  lastTime_ += slot.delta;
  if (status < 0xF0) {
    running_ = status;
  } else if (status < 0xF8) {
    running_ = 0;
  }
}

void PayloadWriter::PutSysex(std::span<const std::byte> sysex, std::uint32_t time, PacketSink& sink) {
  if (sysex.size() <= maxList_) {
    const Slot slot = MakeRoom(time, sysex.size(), 0xF0, sink);
    if (listLength_ > 0) AppendDelta(slot.delta);
    Append(sysex);
    lastTime_ += slot.delta;
    running_ = 0;
    return;
  }
  // Segments: the first needs its two ends and a data byte.
  const Slot slot = MakeRoom(time, 3, 0xF0, sink);
  if (listLength_ > 0) AppendDelta(slot.delta);
  lastTime_ += slot.delta;
  std::span<const std::byte> data = sysex.subspan(1, sysex.size() - 2);
  std::byte lead = kSysexStart;
  for (;;) {
    const std::size_t room = maxList_ - listLength_;
    if (lead == kSysexEnd && data.size() + 2 <= room) { // the last
      Append(kSysexEnd);
      Append(data);
      Append(kSysexEnd);
      break;
    }
    const std::size_t take = room - 2;
    Append(lead);
    Append(data.first(take));
    Append(kSysexStart);
    data = data.subspan(take);
    const std::uint32_t at = lastTime_;
    Finish(sink);
    Start(at);
    lead = kSysexEnd;
  }
  running_ = 0;
}

void PayloadWriter::AppendDelta(std::uint32_t delta) noexcept {
  for (std::size_t i = DeltaBytes(delta); i-- > 1;)
    Append(static_cast<std::byte>(0x80U | ((delta >> (7 * i)) & 0x7FU)));
  Append(static_cast<std::byte>(delta & 0x7FU));
}

void PayloadWriter::Append(std::span<const std::byte> bytes) noexcept {
  std::memcpy(List().data() + listLength_, bytes.data(), bytes.size());
  listLength_ += bytes.size();
}

void PayloadWriter::Append(std::byte b) noexcept { List()[listLength_++] = b; }

void PayloadWriter::Finish(PacketSink& sink) {
  if (listLength_ == 0) return;
  // The RTP header sits right before the section header, whose size is known only now.
  const std::span<std::byte> all(buffer_.get(), kListOffset + listLength_);
  std::size_t start = 0;
  if (listLength_ <= kShortListMax) {
    start = 1;
    all[kListOffset - 1] = static_cast<std::byte>(listLength_);
  } else {
    all[kListOffset - 2] = static_cast<std::byte>(kFlagB | (listLength_ >> 8U));
    all[kListOffset - 1] = static_cast<std::byte>(listLength_ & 0xFFU);
  }
  StoreRtpHeader(all.subspan(start).first<kRtpHeaderSize>(),
                 {settings_.marker, settings_.payloadType, sequence_, packetTime_, settings_.ssrc});
  ++sequence_;
  listLength_ = 0;
  sink.Packet(all.subspan(start));
}

// ---- Reading ----------------------------------------------------------------------------------

PacketRead PayloadReader::Read(std::span<const std::byte> packet, MessageSink& sink) {
  PacketRead r;
  const std::optional<RtpPacket> rtp = ParseRtp(packet);
  if (!rtp) {
    ++notRtp_;
    return r;
  }
  r.header = rtp->header;
  r.status = PacketStatus::Malformed;
  Follow(rtp->header);
  const std::span<const std::byte> payload = rtp->payload;
  const auto fail = [&] {
    ++malformed_;
    Break();
    return r;
  };
  if (payload.empty()) return fail();
  const std::uint8_t flags = At(payload, 0);
  const std::size_t headerSize = (flags & kFlagB) != 0 ? 2 : 1;
  if (payload.size() < headerSize) return fail();
  std::size_t length = flags & 0x0FU;
  if (headerSize == 2) length = (length << 8U) | At(payload, 1);
  if (length > payload.size() - headerSize) return fail();
  const std::span<const std::byte> after = payload.subspan(headerSize + length);
  r.journal = (flags & kFlagJ) != 0;
  if (r.journal == after.empty()) return fail();
  r.journalBytes = after;
  if (!ReadList(payload.subspan(headerSize, length), (flags & kFlagZ) != 0, sink)) return fail();
  r.status = PacketStatus::Read;
  return r;
}

void PayloadReader::Reset() noexcept {
  open_ = false;
  skipping_ = false;
  known_ = false;
}

void PayloadReader::Follow(const RtpHeader& header) noexcept {
  if (!known_ || header.ssrc != ssrc_) { // a new sender: nothing of the old one continues
    Break();
    skipping_ = false;
    known_ = true;
    ssrc_ = header.ssrc;
  } else if (header.sequence != static_cast<std::uint16_t>(sequence_ + 1)) {
    Break(); // a packet in between may have carried a segment
  }
  sequence_ = header.sequence;
}

bool PayloadReader::ReadList(std::span<const std::byte> list, bool firstHasDelta, MessageSink& sink) {
  std::size_t pos = 0;
  std::uint32_t time = 0;
  std::uint8_t running = 0;
  for (bool first = true; pos < list.size(); first = false) {
    if (!first || firstHasDelta) {
      std::uint32_t delta = 0;
      if (!ReadDelta(list, pos, delta)) return false;
      time += delta;
      if (pos == list.size()) return true; // a delta time may close the list
    }
    const std::uint8_t lead = At(list, pos);
    if (lead >= 0xF8) {
      if (!IsRealTime(lead)) return false;
      sink.ShortMessage(PackShortMessage(lead), time);
      ++pos;
      continue;
    }
    if (lead == 0xF0 || lead == 0xF7) {
      if (!ReadSysex(list, pos, time, sink)) return false;
      running = 0;
      continue;
    }
    std::uint8_t status = running;
    std::size_t at = pos;
    if (lead >= 0x80) {
      status = lead;
      ++at;
    } else if (status == 0) {
      return false; // a data byte without a status to run on
    }
    const std::size_t length = RawMessageLength(status);
    if (length == 0) return false; // F4, F5
    // Its data bytes, real-time bytes perhaps among them; the command is checked whole before
    // anything of it plays.
    std::array<std::uint8_t, 2> data{};
    std::size_t have = 0;
    std::size_t end = at;
    for (; have + 1 < length; ++end) {
      if (end == list.size()) return false;
      const std::uint8_t b = At(list, end);
      if (b < 0x80) {
        data.at(have++) = b;
      } else if (!IsRealTime(b)) {
        return false;
      }
    }
    for (std::size_t i = at; i < end; ++i) {
      if (At(list, i) >= 0xF8) sink.ShortMessage(PackShortMessage(At(list, i)), time);
    }
    sink.ShortMessage(PackShortMessage(status, data[0], data[1]), time);
    if (status < 0xF0) {
      running = status;
    } else {
      running = 0; // system common ends running status
    }
    pos = end;
  }
  return true;
}

bool PayloadReader::ReadSysex(std::span<const std::byte> list, std::size_t& pos, std::uint32_t time,
                              MessageSink& sink) {
  const std::size_t start = pos;
  const std::uint8_t lead = At(list, start);
  std::size_t end = start + 1;
  bool realTime = false;
  for (; end < list.size(); ++end) {
    const std::uint8_t b = At(list, end);
    if (b < 0x80) continue;
    if (b < 0xF8) break; // its end, or a status byte that cuts it
    if (!IsRealTime(b)) return false;
    realTime = true;
  }
  if (end == list.size()) return false; // cut by the end of the list
  enum class Segment { Whole, First, Middle, Last, Cancel };
  Segment segment = Segment::Whole;
  switch (At(list, end)) {
  case 0xF7: segment = lead == 0xF0 ? Segment::Whole : Segment::Last; break;
  case 0xF0: segment = lead == 0xF0 ? Segment::First : Segment::Middle; break;
  case 0xF4:
    if (lead != 0xF7) return false;
    segment = Segment::Cancel;
    break;
  default: return false; // cut by a status byte
  }
  pos = end + 1;
  const std::span<const std::byte> body = list.subspan(start + 1, end - start - 1);
  if (realTime) {
    for (const std::byte b : body) {
      if (b >= std::byte{0xF8}) sink.ShortMessage(PackShortMessage(std::to_integer<std::uint8_t>(b)), time);
    }
  }
  switch (segment) {
  case Segment::Whole:
    Break(); // the open message never ends
    if (!realTime) {
      sink.LongMessage(list.subspan(start, end - start + 1));
      break;
    }
    Begin();
    AppendData(body);
    End(sink);
    break;
  case Segment::First:
    Break();
    skipping_ = false;
    Begin();
    AppendData(body);
    break;
  case Segment::Middle:
    if (open_) {
      AppendData(body);
    } else if (!skipping_) {
      ++droppedSysex_; // its first was lost
      skipping_ = true;
    }
    break;
  case Segment::Last:
    if (open_) {
      if (AppendData(body)) End(sink);
    } else if (!skipping_) {
      ++droppedSysex_;
    }
    skipping_ = false;
    break;
  case Segment::Cancel:
    if (open_ || !skipping_) ++droppedSysex_;
    open_ = false;
    skipping_ = false;
    break;
  }
  return true;
}

void PayloadReader::Begin() {
  if (!sysex_) sysex_ = std::make_unique<std::byte[]>(kMaxLongMessage);
  sysex_[0] = kSysexStart;
  sysexLength_ = 1;
  open_ = true;
}

bool PayloadReader::AppendData(std::span<const std::byte> body) noexcept {
  const auto data = static_cast<std::size_t>(
      std::count_if(body.begin(), body.end(), [](std::byte b) { return b < std::byte{0x80}; }));
  if (sysexLength_ + data + 1 > kMaxLongMessage) { // no room for the data and the closing F7
    Break();
    return false;
  }
  std::byte* out = sysex_.get() + sysexLength_;
  if (data == body.size()) {
    std::memcpy(out, body.data(), data);
  } else {
    std::copy_if(body.begin(), body.end(), out, [](std::byte b) { return b < std::byte{0x80}; });
  }
  sysexLength_ += data;
  return true;
}

void PayloadReader::End(MessageSink& sink) {
  sysex_[sysexLength_++] = kSysexEnd;
  open_ = false;
  sink.LongMessage(std::span<const std::byte>(sysex_.get(), sysexLength_));
}

void PayloadReader::Break() noexcept {
  if (!open_) return;
  open_ = false;
  skipping_ = true;
  ++droppedSysex_;
}

} // namespace kestrel::net::rtpmidi
