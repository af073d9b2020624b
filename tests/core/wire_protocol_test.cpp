#include "core/wire_protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::byte>;

Bytes Record(RecordType type, std::size_t payloadSize, std::int32_t port = 3, int seed = 0) {
  Bytes r(kHeaderSize + payloadSize);
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(payloadSize);
  h.type = static_cast<std::int32_t>(type);
  h.port = port;
  h.timestamp = 1000 + seed;
  h.captureTime = 2000 + seed;
  StoreHeader(r.data(), h);
  for (std::size_t i = 0; i < payloadSize; ++i) {
    r[kHeaderSize + i] = static_cast<std::byte>((i * 31 + static_cast<std::size_t>(seed) * 7 + 5) & 0xFFU);
  }
  return r;
}

Bytes LongData(std::size_t n, int seed = 0) { return Record(RecordType::MIM_LONGDATA, n, 3, seed); }
Bytes ShortData(int seed = 0) { return Record(RecordType::MIM_DATA, 4, 3, seed); }

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) { all.insert(all.end(), p.begin(), p.end()); }
  return all;
}

// Packs a copy of `queue`; each datagram is copied at once, since fragmenting rewrites the buffer.
std::vector<Bytes> Pack(Bytes queue, std::uint32_t firstId = 77) {
  std::vector<Bytes> datagrams;
  PackDatagrams(
      std::span<std::byte>(queue), [&firstId] { return firstId++; },
      [&datagrams](std::span<const std::byte> d) { datagrams.emplace_back(d.begin(), d.end()); });
  return datagrams;
}

std::vector<RecordView> ReadAll(const Bytes& datagram, bool* malformed = nullptr) {
  RecordReader reader(datagram);
  std::vector<RecordView> views;
  RecordView v;
  while (reader.Next(v)) { views.push_back(v); }
  if (malformed != nullptr) { *malformed = reader.Malformed(); }
  return views;
}

RecordView Only(const Bytes& datagram) {
  const auto views = ReadAll(datagram);
  EXPECT_EQ(views.size(), 1U);
  return views.empty() ? RecordView{} : views.front();
}

std::vector<std::size_t> Sizes(const std::vector<Bytes>& datagrams) {
  std::vector<std::size_t> sizes;
  for (const Bytes& d : datagrams) { sizes.push_back(d.size()); }
  return sizes;
}

TEST(PackDatagrams, GroupsWholeRecordsUpTo512Bytes) {
  const std::vector<Bytes> twelveShort(12, ShortData());  // 432 bytes
  const std::vector<Bytes> fifteenShort(15, ShortData());  // 540 bytes
  struct Case {
    const char* name;
    Bytes queue;
    std::vector<std::size_t> expected;
  };
  const Case cases[] = {
      {"empty queue", {}, {}},
      {"512 bytes in one long record", LongData(480), {512}},
      {"exactly 512 bytes of records", Concat({Concat(twelveShort), LongData(48)}), {512}},
      {"513 bytes", Concat({Concat(twelveShort), LongData(49)}), {432, 81}},
      {"fifteen short records", Concat(fifteenShort), {504, 36}},
      {"long record between short ones", Concat({ShortData(), LongData(480), ShortData()}), {36, 512, 36}},
  };
  for (const Case& c : cases) { EXPECT_EQ(Sizes(Pack(c.queue)), c.expected) << c.name; }
}

TEST(PackDatagrams, CutsLongMessagesInto480ByteFragments) {
  struct Case {
    std::size_t n;
    std::vector<std::size_t> payloads;
  };
  const Case cases[] = {
      {481, {480, 1}},
      {960, {480, 480}},
      {10000, {480, 480, 480, 480, 480, 480, 480, 480, 480, 480,
               480, 480, 480, 480, 480, 480, 480, 480, 480, 480, 400}},
  };
  for (const Case& c : cases) {
    const auto datagrams = Pack(LongData(c.n), 0xABCD0123U);
    ASSERT_EQ(datagrams.size(), c.payloads.size()) << c.n;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      const RecordView f = Only(datagrams[i]);
      const bool last = i + 1 == datagrams.size();
      EXPECT_EQ(f.header.type, static_cast<std::int32_t>(last ? RecordType::LastFragment : RecordType::Fragment));
      EXPECT_EQ(f.payload.size(), c.payloads[i]);
      EXPECT_EQ(f.header.sequence, static_cast<std::int32_t>(i));
      EXPECT_EQ(f.header.totalLength, static_cast<std::int32_t>(c.n));
      EXPECT_EQ(static_cast<std::uint32_t>(f.header.messageId), 0xABCD0123U);
      EXPECT_EQ(f.header.port, 3);
      EXPECT_EQ(f.header.timestamp, 1000);
      EXPECT_EQ(f.header.captureTime, 2000);
      const Bytes original = LongData(c.n);
      EXPECT_TRUE(std::equal(f.payload.begin(), f.payload.end(), original.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + offset)))
          << c.n << " fragment " << i;
      offset += f.payload.size();
    }
  }
}

TEST(PackDatagrams, DropsOversizedRecordsThatCannotBeFragmented) {
  const Bytes queue = Concat({ShortData(1), Record(RecordType::MIM_DATA, 600), ShortData(2)});
  const auto datagrams = Pack(queue);
  ASSERT_EQ(datagrams.size(), 2U);
  EXPECT_EQ(datagrams[0], ShortData(1));
  EXPECT_EQ(datagrams[1], ShortData(2));
}

// Whatever the mix, what the reader and gatherer rebuild is the queue, byte for byte and in order,
// and every datagram holds whole records or one fragment within 512 bytes.
TEST(WireRoundTrip, PackReadGatherRebuildsTheQueue) {
  std::vector<Bytes> records;
  for (int i = 0; i < 20; ++i) { records.push_back(ShortData(i)); }
  records.push_back(LongData(10000, 1));
  records.push_back(ShortData(99));
  records.push_back(LongData(481, 2));
  records.push_back(LongData(480, 3));
  records.push_back(LongData(960, 4));
  records.push_back(LongData(65536, 5));
  records.push_back(Record(RecordType::MIM_OPEN, 4, 8));
  const Bytes queue = Concat(records);

  FragmentGatherer gatherer;
  Bytes rebuilt;
  for (const Bytes& datagram : Pack(queue)) {
    ASSERT_LE(datagram.size(), kMaxDatagram);
    bool malformed = true;
    const auto views = ReadAll(datagram, &malformed);
    EXPECT_FALSE(malformed);
    for (const RecordView& v : views) {
      if (v.header.Is(RecordType::Fragment) || v.header.Is(RecordType::LastFragment)) {
        ASSERT_EQ(views.size(), 1U) << "a fragment travels alone";
        const auto result = gatherer.Add(v, 0);
        if (result == FragmentGatherer::Result::Complete) {
          const auto whole = gatherer.Completed().bytes;
          rebuilt.insert(rebuilt.end(), whole.begin(), whole.end());
        } else {
          ASSERT_TRUE(result == FragmentGatherer::Result::Started || result == FragmentGatherer::Result::Continued);
        }
      } else {
        rebuilt.insert(rebuilt.end(), v.bytes.begin(), v.bytes.end());
      }
    }
  }
  EXPECT_EQ(rebuilt, queue);
  EXPECT_EQ(gatherer.PendingCount(), 0U);
}

TEST(RecordReader, ReadsRecordsInOrderAndEmptyDatagramsAsNothing) {
  std::vector<Bytes> ten;
  for (int i = 0; i < 10; ++i) { ten.push_back(ShortData(i)); }
  const Bytes datagram = Concat(ten);
  bool malformed = true;
  const auto views = ReadAll(datagram, &malformed);
  EXPECT_FALSE(malformed);
  ASSERT_EQ(views.size(), 10U);
  for (std::size_t i = 0; i < 10; ++i) { EXPECT_TRUE(std::ranges::equal(views[i].bytes, ten[i])); }

  EXPECT_TRUE(ReadAll(Bytes{}, &malformed).empty());
  EXPECT_FALSE(malformed);
}

// Each datagram lies in a vector of exactly its size, so a read past its end shows under ASan.
TEST(RecordReader, StopsAtAMalformedRecordWithoutReadingPastTheDatagram) {
  auto withHeader = [](std::int32_t type, std::int32_t dataLength, std::size_t actualPayload) {
    Bytes r = Record(RecordType::MIM_DATA, actualPayload);
    StoreLE32(r.data() + field::kType, type);
    StoreLE32(r.data() + field::kDataLength, dataLength);
    return r;
  };
  const Bytes shortRecord = ShortData();
  constexpr auto kData = static_cast<std::int32_t>(RecordType::MIM_DATA);
  constexpr auto kLong = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  struct Case {
    const char* name;
    Bytes bad;
    bool followed;  // a good record comes after the bad one and must be dropped with it
  };
  const Case cases[] = {
      {"header cut short", Bytes(shortRecord.begin(), shortRecord.begin() + 20), false},
      {"payload past the end", withHeader(kData, 4, 2), false},
      {"long payload past the end", withHeader(kLong, 100, 99), false},
      {"negative length", withHeader(kLong, -1, 8), true},
      {"most negative length", withHeader(kLong, std::numeric_limits<std::int32_t>::min(), 8), true},
      {"huge length", withHeader(kLong, std::numeric_limits<std::int32_t>::max(), 8), true},
      {"unknown type", withHeader(5, 4, 4), true},
  };
  for (const Case& c : cases) {
    Bytes datagram = Concat({ShortData(1), ShortData(2), c.bad});
    if (c.followed) { datagram = Concat({datagram, ShortData(3)}); }
    bool malformed = false;
    const auto views = ReadAll(datagram, &malformed);
    EXPECT_TRUE(malformed) << c.name;
    ASSERT_EQ(views.size(), 2U) << c.name;
    EXPECT_TRUE(std::ranges::equal(views[1].bytes, ShortData(2))) << c.name;
  }
}

// ---- Gathering ---------------------------------------------------------------------------------

using Result = FragmentGatherer::Result;

std::vector<Bytes> Fragments(std::size_t n, std::uint32_t id, int seed = 0) {
  Bytes record = LongData(n, seed);
  std::vector<Bytes> out;
  SendFragments(record, id, [&out](std::span<const std::byte> d) { out.emplace_back(d.begin(), d.end()); });
  return out;
}

Bytes Fragment(RecordType type, std::int32_t id, std::int32_t sequence, std::int32_t total, std::size_t size) {
  Bytes r = Record(type, size);
  StoreLE32(r.data() + field::kMessageId, id);
  StoreLE32(r.data() + field::kSequence, sequence);
  StoreLE32(r.data() + field::kTotalLength, total);
  return r;
}

// Feeds the fragments at the given positions, all at tick 0, and returns the results.
std::vector<Result> Feed(FragmentGatherer& g, const std::vector<Bytes>& fragments, const std::vector<std::size_t>& order) {
  std::vector<Result> results;
  for (std::size_t i : order) { results.push_back(g.Add(Only(fragments[i]), 0)); }
  return results;
}

TEST(FragmentGatherer, CompletesWithTheFirstFragmentsHeader) {
  FragmentGatherer g;
  const auto frags = Fragments(1000, 9);
  EXPECT_EQ(Feed(g, frags, {0, 1, 2}), (std::vector{Result::Started, Result::Continued, Result::Complete}));
  const RecordView whole = g.Completed();
  EXPECT_EQ(whole.header.type, static_cast<std::int32_t>(RecordType::MIM_LONGDATA));
  EXPECT_EQ(whole.header.dataLength, 1000);
  EXPECT_EQ(whole.header.port, 3);
  EXPECT_EQ(whole.header.timestamp, 1000);
  EXPECT_EQ(whole.header.captureTime, 2000);
  EXPECT_TRUE(std::ranges::equal(whole.bytes, LongData(1000)));
  EXPECT_EQ(g.PendingCount(), 0U);
}

TEST(FragmentGatherer, HandlesBrokenSequences) {
  const auto frags = Fragments(1920, 5);  // four fragments
  constexpr auto S = Result::Started, C = Result::Continued, X = Result::Complete, B = Result::SequenceBreak;
  struct Case {
    const char* name;
    std::vector<std::size_t> order;
    std::vector<Result> expected;
    std::size_t pendingAfter;
  };
  const Case cases[] = {
      {"unknown messageId", {1, 3}, {Result::Ignored, Result::Ignored}, 0},
      {"skip, then the missing one arrives", {0, 2, 1, 2, 3}, {S, B, C, C, X}, 0},
      {"lost fragment", {0, 2, 3}, {S, B, B}, 1},
      {"reordered fragments", {0, 2, 1, 3}, {S, B, C, B}, 1},
      {"duplicated later fragment", {0, 1, 1, 2, 3}, {S, C, B, C, X}, 0},
      {"duplicated first fragment restarts", {0, 1, 0, 1, 2, 3}, {S, C, S, C, C, X}, 0},
  };
  for (const Case& c : cases) {
    FragmentGatherer g;
    EXPECT_EQ(Feed(g, frags, c.order), c.expected) << c.name;
    EXPECT_EQ(g.PendingCount(), c.pendingAfter) << c.name;
    if (c.expected.back() == X) { EXPECT_TRUE(std::ranges::equal(g.Completed().bytes, LongData(1920))) << c.name; }
  }
}

TEST(FragmentGatherer, RefusesLengthsThatDoNotAddUp) {
  constexpr auto F = RecordType::Fragment, L = RecordType::LastFragment;
  struct Case {
    const char* name;
    std::vector<Bytes> fragments;
    Result last;
  };
  const Case cases[] = {
      {"totalLength above 65536", {Fragment(F, 1, 0, 65537, 480)}, Result::Refused},
      {"totalLength 0", {Fragment(F, 1, 0, 0, 480)}, Result::Refused},
      {"negative totalLength", {Fragment(F, 1, 0, -480, 480)}, Result::Refused},
      {"first fragment above totalLength", {Fragment(F, 1, 0, 100, 480)}, Result::Refused},
      {"later fragment overflows", {Fragment(F, 1, 0, 500, 480), Fragment(F, 1, 1, 500, 480)}, Result::Refused},
      {"last fragment overflows", {Fragment(F, 1, 0, 500, 480), Fragment(L, 1, 1, 500, 21)}, Result::Refused},
      {"last fragment falls short", {Fragment(F, 1, 0, 1000, 480), Fragment(L, 1, 1, 1000, 100)}, Result::Discarded},
  };
  for (const Case& c : cases) {
    FragmentGatherer g;
    Result r = Result::Ignored;
    for (const Bytes& f : c.fragments) { r = g.Add(Only(f), 0); }
    EXPECT_EQ(r, c.last) << c.name;
    EXPECT_EQ(g.PendingCount(), 0U) << c.name;
  }
  // At exactly 65536 bytes the message is taken.
  FragmentGatherer g;
  EXPECT_EQ(g.Add(Only(Fragment(F, 1, 0, 65536, 480)), 0), Result::Started);
}

TEST(FragmentGatherer, BoundsThePendingTableInCount) {
  FragmentGatherer g(GatherLimits{.maxPending = 4, .maxAgeMs = 5000});
  std::vector<std::vector<Bytes>> messages;
  for (std::uint32_t id = 0; id < 200; ++id) {
    messages.push_back(Fragments(600, id));
    EXPECT_EQ(g.Add(Only(messages.back()[0]), id), Result::Started);
    EXPECT_LE(g.PendingCount(), 4U);
  }
  EXPECT_EQ(g.Add(Only(messages[0][1]), 200), Result::Ignored);  // pushed out long ago
  EXPECT_EQ(g.Add(Only(messages[199][1]), 200), Result::Complete);
}

TEST(FragmentGatherer, DropsMessagesIdleLongerThanMaxAge) {
  for (const Tick start : {Tick{0}, Tick{0xFFFFF000U}}) {  // the second crosses the tick wrap
    FragmentGatherer g(GatherLimits{.maxPending = 4, .maxAgeMs = 5000});
    const auto frags = Fragments(1440, 1);
    EXPECT_EQ(g.Add(Only(frags[0]), start), Result::Started);
    EXPECT_EQ(g.Add(Only(frags[1]), start + 5000), Result::Continued) << start;
    EXPECT_EQ(g.Add(Only(frags[2]), start + 10001), Result::Ignored) << start;
    EXPECT_EQ(g.PendingCount(), 0U);
  }
}

// ---- Keep-alive ----------------------------------------------------------------------------------

TEST(KeepAlive, DueAfterMoreThanOneSecondOfSilence) {
  for (const Tick start : {Tick{0}, Tick{5'000'000}, Tick{0xFFFFFC00U}}) {  // the last wraps
    KeepAliveTimes times{start, start};
    EXPECT_FALSE(KeepAliveDue(start + 1000, times)) << start;
    EXPECT_TRUE(KeepAliveDue(start + 1001, times)) << start;
    EXPECT_EQ(times.lastSendTime, start + 1001);
    EXPECT_EQ(times.lastKeepAliveTime, start + 1001);
    EXPECT_FALSE(KeepAliveDue(start + 2001, times)) << start;
    EXPECT_TRUE(KeepAliveDue(start + 2002, times)) << start;
  }
}

// A busy server sends a datagram on every 30 ms tick, so only the ten-second rule fires.
TEST(KeepAlive, EveryTenSecondsWhileBusyAcrossTheWrap) {
  const Tick start = 0xFFFFFFFFU - 25'000;
  KeepAliveTimes times{start, start};
  std::vector<Tick> due;
  for (Tick t = 30; t <= 60'000; t += 30) {
    const Tick now = start + t;
    if (KeepAliveDue(now, times)) { due.push_back(t); }
    times.lastSendTime = now;
  }
  EXPECT_EQ(due, (std::vector<Tick>{10'020, 20'040, 30'060, 40'080, 50'100}));
}

} // namespace
} // namespace kestrel
