// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI and network paths must not allocate per short message: an allocation can take a lock
// inside the C library and stall a real-time thread. A counting operator new shows it.
#include "core/dump_store.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/raw_midi.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/udp_socket.hpp"
#include "transport/rtpmidi/midi_payload.hpp"

#include "support/counting_new.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <new>

using kestrel::test::allocations;

namespace kestrel {
namespace {

struct Path {
  Path() {
    serverFlags.present = true;
    clientFlags.present = true;
  }
  ManualClock clock{1000};
  WindowFlags serverFlags;
  WindowFlags clientFlags;
  DumpStore serverDump{clock, serverFlags};
  DumpStore clientDump{clock, clientFlags};
  SendQueue queue{serverDump, serverFlags};
  FragmentGatherer gatherer;
  std::size_t received = 0;

  // Producer to reader: append, take, pack, read, gather, note on the client side.
  void Run(int messages) {
    for (int i = 0; i < messages; ++i) {
      clock.Advance(1);
      const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, 1 + i % 8, i, 0, PackShortMessage(0x90, 60, 100));
      queue.Append(r);
      if (queue.Count() > 4000 || i + 1 == messages) Drain();
    }
  }
  void Drain() {
    PackDatagrams(
        queue.Take(), [] { return 1U; },
        [&](std::span<const std::byte> datagram) {
          RecordReader reader(datagram);
          RecordView view;
          while (reader.Next(view)) {
            EventRecord h = view.header;
            if (h.Is(RecordType::Fragment) || h.Is(RecordType::LastFragment)) {
              if (gatherer.Add(view, clock.Now()) != FragmentGatherer::Result::Complete) continue;
              h = gatherer.Completed().header;
            }
            clientDump.NoteArrival(h);
            if (clientFlags.clientLog) clientDump.AppendToDump(h, view.payload);
            ++received;
          }
        });
  }
};

TEST(Allocation, ShortMessagesFromProducerToReaderAllocateNothing) {
  Path path;
  path.Run(100); // warm-up
  const long before = allocations.load();
  path.Run(100'000);
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(path.received, 100'100U);
}

TEST(Allocation, DumpLoggingAllocatesOnlyPerStorageChunk) {
  Path path;
  path.serverFlags.serverLog = true;
  path.clientFlags.clientLog = true;
  const long before = allocations.load();
  path.Run(100'000);
  // 3.6 MB of records per side in 1 MiB chunks, plus the row index doubling from 1024 rows.
  const long count = allocations.load() - before;
  EXPECT_GT(count, 0); // the counter does see the chunks
  EXPECT_LE(count, 40);
  EXPECT_EQ(path.clientDump.RowCount(), 100'000U);
}

TEST(Allocation, GatheringReusesItsBuffers) {
  Path path;
  std::vector<std::byte> record(kHeaderSize + 10'000);
  EventRecord h;
  h.dataLength = 10'000;
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = 2;
  StoreHeader(record.data(), h);
  path.queue.Append(record);
  path.Drain(); // the first long message allocates the gatherer's buffer once
  const long before = allocations.load();
  for (int i = 0; i < 50; ++i) {
    path.queue.Append(record);
    path.Drain();
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(path.received, 51U);
}

TEST(Allocation, SendingToEveryTargetAllocatesNothing) {
  // Loopback targets only, and no broadcast: nothing leaves the machine.
  net::CUdpSender sender(9);
  sender.Open();
  sender.SetDestinations({.broadcast = false,
                          .targets = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), inet_addr("127.0.0.3")},
                          .group = 0,
                          .ttl = 1});
  const ShortRecord record = MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0x90, 60, 100));
  ASSERT_TRUE(sender.Send(record));
  const long before = allocations.load();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sender.Send(record));
  EXPECT_EQ(allocations.load() - before, 0);
}

TEST(Allocation, RawMidiEncodingAndParsingAllocateNothingAfterTheFirstSplitDump) {
  RawMidiParser parser;
  std::array<std::byte, 3> scratch{};
  std::array<std::byte, 4> word{};
  EventRecord h;
  h.type = static_cast<std::int32_t>(RecordType::MIM_DATA);
  h.port = 1;
  const std::array<std::byte, 3> first{std::byte{0xF0}, std::byte{0x01}, std::byte{0x02}};
  const std::array<std::byte, 2> last{std::byte{0x03}, std::byte{0xF7}};
  long played = 0;
  const auto shortMessage = [&](std::uint32_t) { ++played; };
  const auto longMessage = [&](std::span<const std::byte>) { ++played; };
  (void)parser.Parse(first, 1, 0, shortMessage, longMessage); // the gathering buffer, once
  const long before = allocations.load();
  for (int i = 0; i < 100'000; ++i) {
    StoreLE32(word.data(), static_cast<std::int32_t>(PackShortMessage(0x90, i & 0x7F, 100)));
    const RawBytes raw = EncodeRawMidi(h, word, scratch);
    (void)parser.Parse(raw.bytes, 1, 0, shortMessage, longMessage);
    if (i % 100 == 0) {
      (void)parser.Parse(first, 1, 0, shortMessage, longMessage);
      (void)parser.Parse(last, 1, 0, shortMessage, longMessage);
    }
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(played, 100'000 + 1'000);
}

TEST(Allocation, RtpMidiWritingAndReadingAllocateNothingAfterTheFirstSegmentedMessage) {
  net::rtpmidi::PayloadWriter writer({.maxPacket = 200});
  net::rtpmidi::PayloadReader reader;
  long played = 0;
  const auto read = [&](std::span<const std::byte> packet) {
    (void)reader.Read(
        packet, [&](std::uint32_t, std::uint32_t) { ++played; }, [&](std::span<const std::byte>) { ++played; });
  };
  EventRecord shortHeader;
  shortHeader.type = static_cast<std::int32_t>(RecordType::MIM_DATA);
  EventRecord longHeader;
  longHeader.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  std::vector<std::byte> sysex(1000, std::byte{0x11}); // segmented over six packets
  sysex.front() = std::byte{0xF0};
  sysex.back() = std::byte{0xF7};
  (void)writer.Add(longHeader, sysex, 0, read); // the reader's gathering buffer, once
  writer.Flush(read);
  std::array<std::byte, 4> word{};
  const long before = allocations.load();
  for (std::uint32_t i = 0; i < 100'000; ++i) {
    StoreLE32(word.data(), static_cast<std::int32_t>(PackShortMessage(0x90, i & 0x7F, 100)));
    (void)writer.Add(shortHeader, word, i, read);
    if (i % 100 == 0) (void)writer.Add(longHeader, sysex, i, read);
  }
  writer.Flush(read);
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(played, 1 + 100'000 + 1'000);
}

} // namespace
} // namespace kestrel
