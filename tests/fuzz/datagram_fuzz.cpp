// SPDX-License-Identifier: GPL-3.0-or-later
// The client's reader against two kinds of input, with checks that trap on any wrong answer:
//  - the input as a hostile datagram: every record the reader yields lies inside the datagram
//    with exactly its announced length, a gathered message is exactly the total length its first
//    fragment announced or nothing, and every dump cell is one line of printable text;
//  - the input as datagrams of the multicast raw-MIDI convention: nothing of a datagram that is
//    not MIDI is played, and every message played is well formed;
//  - the input as a run of records a server queues: packed into datagrams by the server's own
//    queue and packer, then read and gathered again, they come back field by field, byte by byte.
#include "core/dump_store.hpp"
#include "core/event_decoder.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/raw_midi.hpp"
#include "core/wire/wire_protocol.hpp"

#include "fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace kestrel {
namespace {

using fuzz::Check;
using fuzz::ExactCopy;

// A view the reader or the gatherer handed out: consistent in itself and, when `within` is given,
// wholly inside it.
void CheckView(const RecordView& view, std::span<const std::byte> within = {}) {
  Check(view.header.dataLength >= 0);
  Check(view.bytes.size() == kHeaderSize + static_cast<std::size_t>(view.header.dataLength));
  Check(view.payload.data() == view.bytes.data() + kHeaderSize);
  Check(view.payload.size() == static_cast<std::size_t>(view.header.dataLength));
  Check(LoadHeader(view.bytes.data()) == view.header);
  if (!within.empty()) {
    Check(view.bytes.data() >= within.data());
    Check(view.bytes.data() + view.bytes.size() <= within.data() + within.size());
  }
}

void CheckCells(EventDecoder& decoder, const RecordView& view) {
  std::array<char, 300> text{};
  for (int column = 0; column < kDumpColumns + 1; ++column) {
    const std::size_t n = decoder.CellText(text, view, column);
    Check(n == std::strlen(text.data()));
    Check(std::all_of(text.data(), text.data() + n, [](char c) { return c >= 0x20 && c <= 0x7E; }));
  }
}

// ---- the input as one hostile datagram ---------------------------------------------------------

// The fragments of one message the gatherer took, as they came.
struct Gathering {
  std::int32_t totalLength = 0; // as its first fragment announced
  std::vector<std::byte> bytes;
};

void ReadHostile(std::span<const std::byte> input) {
  // Kept from input to input, as the client keeps them from datagram to datagram.
  static FragmentGatherer gatherer(GatherLimits{.maxPending = 4, .maxAgeMs = 5000});
  static Tick now = 0;
  static EventDecoder decoder;
  static std::unordered_map<std::int32_t, Gathering> gathering; // by messageId
  now += 7;
  if (gathering.size() > 64) { gathering.clear(); } // the gatherer holds at most 4 of them

  const ExactCopy datagram(input);
  RecordReader reader(datagram.span);
  RecordView view;
  while (reader.Next(view)) {
    CheckView(view, datagram.span);
    Check(PlausibleLength(view.header.type, view.header.dataLength));
    if (view.header.Is(RecordType::Fragment) || view.header.Is(RecordType::LastFragment)) {
      const std::int32_t messageId = view.header.messageId;
      const std::span<const std::byte> part = view.payload;
      const FragmentGatherer::Result result = gatherer.Add(view, now);
      const auto known = gathering.find(messageId);
      switch (result) {
      case FragmentGatherer::Result::Started:
        gathering[messageId] = Gathering{view.header.totalLength, {part.begin(), part.end()}};
        break;
      case FragmentGatherer::Result::Continued:
      case FragmentGatherer::Result::Complete:
        if (known != gathering.end()) {
          known->second.bytes.insert(known->second.bytes.end(), part.begin(), part.end());
        }
        break;
      case FragmentGatherer::Result::Refused:
      case FragmentGatherer::Result::Discarded:
        if (known != gathering.end()) { gathering.erase(known); }
        break;
      case FragmentGatherer::Result::Ignored:
      case FragmentGatherer::Result::SequenceBreak: break;
      }
      if (result != FragmentGatherer::Result::Complete) {
        Check(gatherer.Completed().bytes.empty());
        continue;
      }
      // Whole means exactly the bytes of its fragments, as many as the first one announced.
      view = gatherer.Completed();
      CheckView(view);
      Check(view.header.Is(RecordType::MIM_LONGDATA));
      if (known != gathering.end()) {
        Check(view.header.dataLength == known->second.totalLength);
        Check(std::ranges::equal(view.payload, known->second.bytes));
        gathering.erase(known);
      }
    }
    CheckCells(decoder, view);
  }
}

// ---- the input as records a server sends ---------------------------------------------------------

struct Sent {
  EventRecord header;
  std::vector<std::byte> payload;
};

// The record as the client must see it: as queued, except that a message that left in fragments
// is gathered into a record that no longer carries the fragments' bookkeeping.
EventRecord Expected(const Sent& sent) {
  EventRecord h = sent.header;
  if (kHeaderSize + sent.payload.size() > kMaxDatagram) {
    h.totalLength = 0;
    h.messageId = 0;
    h.sequence = 0;
  }
  return h;
}

class RoundTrip {
public:
  RoundTrip() : dump_(clock_, flags_), queue_(dump_, flags_) {}

  // One record into the server's queue, which must take it: the queue is drained first when it
  // has no room left, as the engine would have done meanwhile.
  void Queue(Sent record) {
    std::vector<std::byte> bytes(kHeaderSize + record.payload.size());
    StoreHeader(bytes.data(), record.header);
    std::copy(record.payload.begin(), record.payload.end(), bytes.begin() + kHeaderSize);
    if (queue_.Count() + bytes.size() >= SendQueue::kCapacity) { Drain(); }
    const std::uint64_t dropped = queue_.DroppedCount();
    Check(queue_.Append(bytes) == 1);
    Check(queue_.DroppedCount() == dropped);
    pending_.push_back(std::move(record));
  }

  // What the server engine does with the queue: every record taken and packed into datagrams,
  // each read by the client as it arrives.
  void Drain() {
    PackDatagrams(
        queue_.Take(), [this] { return ++messageId_; },
        [this](std::span<const std::byte> datagram) { Receive(datagram); });
    Check(pending_.empty());
    Check(gatherer_.PendingCount() == 0);
  }

private:
  void Receive(std::span<const std::byte> sent) {
    Check(!sent.empty() && sent.size() <= kMaxDatagram);
    const ExactCopy datagram(sent);
    RecordReader reader(datagram.span);
    RecordView view;
    while (reader.Next(view)) {
      CheckView(view, datagram.span);
      if (view.header.Is(RecordType::Fragment) || view.header.Is(RecordType::LastFragment)) {
        const FragmentGatherer::Result result = gatherer_.Add(view, clock_.Now());
        if (result != FragmentGatherer::Result::Complete) {
          Check(view.header.Is(RecordType::Fragment));
          Check(result ==
                (view.header.sequence == 0 ? FragmentGatherer::Result::Started : FragmentGatherer::Result::Continued));
          continue;
        }
        view = gatherer_.Completed();
        CheckView(view);
      }
      Check(!pending_.empty());
      const Sent& expected = pending_.front();
      Check(view.header == Expected(expected));
      Check(std::equal(view.payload.begin(), view.payload.end(), expected.payload.begin(), expected.payload.end()));
      pending_.pop_front();
    }
    Check(!reader.Malformed());
  }

  ManualClock clock_{1000};
  WindowFlags flags_; // no window: the queue leaves the dump alone
  DumpStore dump_;
  SendQueue queue_;
  FragmentGatherer gatherer_;
  std::uint32_t messageId_ = 0;
  std::deque<Sent> pending_; // queued, not yet read back
};

// Records of the kinds the queue takes, with lengths up to the longest message; long payloads
// run on past the input's bytes in a pattern.
Sent MakeRecord(FuzzedDataProvider& in) {
  static constexpr std::array<RecordType, 5> kTypes{RecordType::KeepAlive, RecordType::MIM_OPEN, RecordType::MIM_CLOSE,
                                                    RecordType::MIM_DATA, RecordType::MIM_LONGDATA};
  Sent r;
  const auto type = kTypes.at(in.ConsumeIntegralInRange<std::size_t>(0, kTypes.size() - 1));
  r.header.type = static_cast<std::int32_t>(type);
  std::size_t length = 4;
  if (type == RecordType::MIM_LONGDATA) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: length = in.ConsumeIntegralInRange<std::size_t>(1, kMaxDatagram); break; // around one datagram
    case 1: length = in.ConsumeIntegralInRange<std::size_t>(1, 4 * kFragmentPayload + 1); break;
    default: length = in.ConsumeIntegralInRange<std::size_t>(1, kMaxLongMessage); break;
    }
  }
  r.header.dataLength = static_cast<std::int32_t>(length);
  if (in.ConsumeBool()) {
    r.header.port = in.ConsumeIntegral<std::int32_t>();
    r.header.timestamp = in.ConsumeIntegral<std::int32_t>();
    r.header.captureTime = in.ConsumeIntegral<std::int32_t>();
    r.header.totalLength = in.ConsumeIntegral<std::int32_t>();
    r.header.messageId = in.ConsumeIntegral<std::int32_t>();
    r.header.sequence = in.ConsumeIntegral<std::int32_t>();
  } else {
    r.header.port = in.ConsumeIntegralInRange(0, kHighestReceivedPort);
    r.header.timestamp = in.ConsumeIntegral<std::uint16_t>();
  }
  r.payload = in.ConsumeBytes<std::byte>(length);
  const auto seed = static_cast<std::uint8_t>(r.payload.size() + length);
  for (std::size_t i = r.payload.size(); i < length; ++i) {
    r.payload.push_back(static_cast<std::byte>(seed + i * 31));
  }
  return r;
}

void SendAndReadBack(std::span<const std::uint8_t> input) {
  static RoundTrip trip;
  FuzzedDataProvider in(input.data(), input.size());
  while (in.remaining_bytes() > 0) {
    trip.Queue(MakeRecord(in));
    if (in.ConsumeIntegralInRange(0, 3) == 0) { trip.Drain(); }
  }
  trip.Drain();
}

} // namespace
} // namespace kestrel

namespace kestrel {
namespace {

// The input as datagrams of the multicast convention to one port (each preceded by a length byte
// and a sender byte): nothing a datagram that is not MIDI holds is played, every short message is
// a status with its data bytes, every system-exclusive message is whole, with data bytes between.
void ReadRawMidi(std::span<const std::uint8_t> input) {
  RawMidiParser parser;
  Tick now = 0;
  while (input.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(input[0], input.size() - 2);
    const std::uint32_t sender = input[1] & 3U;
    const ExactCopy datagram(std::as_bytes(input.subspan(2, length)));
    input = input.subspan(2 + length);
    now += 100;
    int played = 0;
    const RawDatagram r = parser.Parse(
        datagram.span, sender, now,
        [&](std::uint32_t word) {
          ++played;
          fuzz::CheckShortMessage(word);
        },
        [&](std::span<const std::byte> sysex) {
          ++played;
          Check(sysex.size() >= 2 && sysex.size() <= kMaxLongMessage);
          Check(sysex.front() == std::byte{0xF0} && sysex.back() == std::byte{0xF7});
          Check(std::all_of(sysex.begin() + 1, sysex.end() - 1, [](std::byte b) { return b < std::byte{0x80}; }));
        });
    if (r == RawDatagram::NotMidi) Check(played == 0);
  }
}

} // namespace
} // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes are bytes
  kestrel::ReadHostile(std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size));
  kestrel::SendAndReadBack(std::span<const std::uint8_t>(data, size));
  kestrel::ReadRawMidi(std::span<const std::uint8_t>(data, size));
  return 0;
}
