// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/wire/wire_protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::byte>;
using Result = FragmentGatherer::Result;

Bytes Record(RecordType type, std::size_t size, int seed = 0) {
  Bytes r(kHeaderSize + size);
  StoreHeader(r.data(), {static_cast<std::int32_t>(size), static_cast<std::int32_t>(type), 3, 1000 + seed, 2000});
  for (std::size_t i = 0; i < size; ++i) { r[kHeaderSize + i] = static_cast<std::byte>(i * 31 + 7 * r.size()); }
  return r;
}
Bytes LongData(std::size_t n) { return Record(RecordType::MIM_LONGDATA, n); }
Bytes ShortData(int seed = 0) { return Record(RecordType::MIM_DATA, 4, seed); }

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) { all.insert(all.end(), p.begin(), p.end()); }
  return all;
}

// Packs a copy of `queue`, copying each datagram at once: fragmenting rewrites the buffer.
std::vector<Bytes> Pack(Bytes queue) {
  std::vector<Bytes> out;
  std::uint32_t id = 77;
  PackDatagrams(
      std::span(queue), [&] { return id++; }, [&](auto d) { out.emplace_back(d.begin(), d.end()); });
  return out;
}

// Each datagram lies in a vector of exactly its size, so a read past its end shows under ASan.
std::vector<RecordView> ReadAll(const Bytes& datagram, bool* malformed = nullptr) {
  RecordReader reader(datagram);
  std::vector<RecordView> views;
  for (RecordView v; reader.Next(v);) { views.push_back(v); }
  if (malformed != nullptr) { *malformed = reader.Malformed(); }
  return views;
}

TEST(PackDatagrams, GroupsWholeRecordsUpTo512BytesAndFragmentsLongOnes) {
  const Bytes twelve = Concat(std::vector<Bytes>(12, ShortData())); // 432 bytes
  std::vector<std::size_t> fragments10000(20, 512);
  fragments10000.push_back(432);
  const struct {
    const char* name;
    Bytes queue;
    std::vector<std::size_t> sizes;
  } cases[] = {
      {"empty queue", {}, {}},
      {"one 512-byte record", LongData(480), {512}},
      {"512 bytes of records", Concat({twelve, LongData(48)}), {512}},
      {"513 bytes of records", Concat({twelve, LongData(49)}), {432, 81}},
      {"fifteen short records", Concat(std::vector<Bytes>(15, ShortData())), {504, 36}},
      {"long record between short ones", Concat({ShortData(), LongData(480), ShortData()}), {36, 512, 36}},
      {"481 bytes: 480 + 1", Concat({ShortData(), LongData(481), ShortData()}), {36, 512, 33, 36}},
      {"960 bytes: 480 + 480", LongData(960), {512, 512}},
      {"10000 bytes: 20 x 480 + 400", LongData(10000), fragments10000},
      {"oversized short record is not sent",
       Concat({ShortData(), Record(RecordType::MIM_DATA, 600), ShortData()}),
       {36, 36}},
  };
  for (const auto& c : cases) {
    std::vector<std::size_t> sizes;
    for (const Bytes& d : Pack(c.queue)) { sizes.push_back(d.size()); }
    EXPECT_EQ(sizes, c.sizes) << c.name;
  }
}

// Reading and gathering what was packed rebuilds the queue byte for byte and in order; fragments
// travel alone, Fragment first and LastFragment last, each message under its own identifier.
TEST(WireRoundTrip, PackReadGatherRebuildsTheQueue) {
  std::vector<Bytes> records;
  records.reserve(27);
  for (int i = 0; i < 20; ++i) { records.push_back(ShortData(i)); }
  for (const std::size_t n : {10000U, 4U, 481U, 480U, 960U, 65536U}) { records.push_back(LongData(n)); }
  records.push_back(Record(RecordType::MIM_OPEN, 4));
  const Bytes queue = Concat(records);

  FragmentGatherer gatherer;
  Bytes rebuilt;
  std::vector<std::int32_t> ids;
  for (const Bytes& datagram : Pack(queue)) {
    ASSERT_LE(datagram.size(), kMaxDatagram);
    bool malformed = true;
    const auto views = ReadAll(datagram, &malformed);
    EXPECT_FALSE(malformed);
    for (const RecordView& v : views) {
      if (!v.header.Is(RecordType::Fragment) && !v.header.Is(RecordType::LastFragment)) {
        rebuilt.insert(rebuilt.end(), v.bytes.begin(), v.bytes.end());
        continue;
      }
      ASSERT_EQ(views.size(), 1U);
      const Result result = gatherer.Add(v, 0);
      ASSERT_TRUE(result == Result::Started || result == Result::Continued || result == Result::Complete);
      if (result == Result::Started) { ids.push_back(v.header.messageId); }
      if (result == Result::Complete) {
        rebuilt.insert(rebuilt.end(), gatherer.Completed().bytes.begin(), gatherer.Completed().bytes.end());
      }
    }
  }
  EXPECT_EQ(rebuilt, queue);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{77, 78, 79, 80}));
}

TEST(RecordReader, StopsAtAMalformedRecordWithoutReadingPastTheDatagram) {
  auto with = [](std::int32_t type, std::int32_t dataLength, std::size_t actualPayload) {
    Bytes r = Record(RecordType::MIM_DATA, actualPayload);
    StoreLE32(r.data() + field::kType, type);
    StoreLE32(r.data() + field::kDataLength, dataLength);
    return r;
  };
  constexpr auto kLong = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  const struct {
    const char* name;
    Bytes bad;
    bool atEnd; // otherwise a good record follows and is dropped with the bad one
  } cases[] = {
      {"header cut short", Bytes(20, std::byte{4}), true},
      {"payload past the end", with(kLong, 100, 99), true},
      {"negative length", with(kLong, -1, 8), false},
      {"most negative length", with(kLong, std::numeric_limits<std::int32_t>::min(), 8), false},
      {"huge length", with(kLong, std::numeric_limits<std::int32_t>::max(), 8), false},
      {"unknown type", with(5, 4, 4), false},
  };
  for (const auto& c : cases) {
    const Bytes datagram = Concat({ShortData(1), ShortData(2), c.bad, c.atEnd ? Bytes{} : ShortData(3)});
    bool malformed = false;
    const auto views = ReadAll(datagram, &malformed);
    EXPECT_TRUE(malformed) << c.name;
    ASSERT_EQ(views.size(), 2U) << c.name;
    EXPECT_TRUE(std::ranges::equal(views[1].bytes, ShortData(2))) << c.name;
  }
  bool malformed = true;
  EXPECT_TRUE(ReadAll(Bytes{}, &malformed).empty());
  EXPECT_FALSE(malformed);
}

// ---- Gathering ---------------------------------------------------------------------------------

std::vector<Bytes> Fragments(std::size_t n, std::uint32_t id) {
  Bytes record = LongData(n);
  std::vector<Bytes> out;
  SendFragments(record, id, [&](auto d) { out.emplace_back(d.begin(), d.end()); });
  return out;
}

Result Add(FragmentGatherer& g, const Bytes& fragment, Tick now = 0) { return g.Add(ReadAll(fragment).at(0), now); }

TEST(FragmentGatherer, HandlesBrokenSequences) {
  const auto frags = Fragments(1920, 5); // four fragments
  constexpr auto kS = Result::Started, kC = Result::Continued, kX = Result::Complete, kB = Result::SequenceBreak;
  const struct {
    const char* name;
    std::vector<std::size_t> order;
    std::vector<Result> results;
    std::size_t pendingAfter;
  } cases[] = {
      {"unknown messageId", {1, 3}, {Result::Ignored, Result::Ignored}, 0},
      {"skip, then the missing one arrives", {0, 2, 1, 2, 3}, {kS, kB, kC, kC, kX}, 0},
      {"lost fragment", {0, 2, 3}, {kS, kB, kB}, 1},
      {"reordered fragments", {0, 2, 1, 3}, {kS, kB, kC, kB}, 1},
      {"duplicated later fragment", {0, 1, 1, 2, 3}, {kS, kC, kB, kC, kX}, 0},
      {"duplicated first fragment restarts", {0, 1, 0, 1, 2, 3}, {kS, kC, kS, kC, kC, kX}, 0},
  };
  for (const auto& c : cases) {
    FragmentGatherer g;
    std::vector<Result> results;
    for (const std::size_t i : c.order) { results.push_back(Add(g, frags[i])); }
    EXPECT_EQ(results, c.results) << c.name;
    EXPECT_EQ(g.PendingCount(), c.pendingAfter) << c.name;
    if (results.back() == kX) { EXPECT_TRUE(std::ranges::equal(g.Completed().bytes, LongData(1920))) << c.name; }
  }
}

TEST(FragmentGatherer, RefusesLengthsThatDoNotAddUp) {
  auto frag = [](RecordType type, std::int32_t sequence, std::int32_t total, std::size_t size) {
    Bytes r = Record(type, size);
    StoreLE32(r.data() + field::kSequence, sequence);
    StoreLE32(r.data() + field::kTotalLength, total);
    return r;
  };
  constexpr auto kF = RecordType::Fragment, kL = RecordType::LastFragment;
  const struct {
    const char* name;
    std::vector<Bytes> fragments;
    Result last;
  } cases[] = {
      {"totalLength 65536 is taken", {frag(kF, 0, 65536, 480)}, Result::Started},
      {"totalLength above 65536", {frag(kF, 0, 65537, 480)}, Result::Refused},
      {"totalLength 0", {frag(kF, 0, 0, 480)}, Result::Refused},
      {"first fragment above totalLength", {frag(kF, 0, 100, 480)}, Result::Refused},
      {"later fragment overflows", {frag(kF, 0, 500, 480), frag(kF, 1, 500, 480)}, Result::Refused},
      {"last fragment overflows", {frag(kF, 0, 500, 480), frag(kL, 1, 500, 21)}, Result::Refused},
      {"last fragment falls short", {frag(kF, 0, 1000, 480), frag(kL, 1, 1000, 100)}, Result::Discarded},
      {"not a fragment at all", {frag(RecordType::MIM_LONGDATA, 0, 1000, 480)}, Result::Ignored},
  };
  for (const auto& c : cases) {
    FragmentGatherer g;
    Result r = Result::Ignored;
    for (const Bytes& f : c.fragments) { r = Add(g, f); }
    EXPECT_EQ(r, c.last) << c.name;
    EXPECT_EQ(g.PendingCount(), r == Result::Started ? 1U : 0U) << c.name;
  }
}

TEST(FragmentGatherer, BoundsThePendingTableInCountAndAge) {
  FragmentGatherer g(GatherLimits{.maxPending = 4, .maxAgeMs = 5000});
  std::vector<std::vector<Bytes>> messages;
  for (std::uint32_t id = 0; id < 200; ++id) { // a flood of first fragments
    messages.push_back(Fragments(600, id));
    EXPECT_EQ(Add(g, messages.back()[0], id), Result::Started);
    EXPECT_LE(g.PendingCount(), 4U);
  }
  EXPECT_EQ(Add(g, messages[1][1], 200), Result::Ignored); // the stalest went first
  for (std::size_t id = 196; id < 200; ++id) { EXPECT_EQ(Add(g, messages[id][1], 200), Result::Complete); }

  const auto frags = Fragments(1440, 1);
  for (const Tick start : {Tick{0}, Tick{0xFFFFF000U}}) { // the second crosses the tick wrap
    EXPECT_EQ(Add(g, frags[0], start), Result::Started);
    EXPECT_EQ(Add(g, frags[1], start + 5000), Result::Continued) << start;
    EXPECT_EQ(Add(g, frags[2], start + 10001), Result::Ignored) << start;
  }
}

// ---- Keep-alive ----------------------------------------------------------------------------------

TEST(KeepAlive, AfterMoreThanOneSecondIdleAndEveryTenSecondsWhileBusy) {
  for (const Tick start : {Tick{0}, Tick{0xFFFFFC00U}}) { // the second wraps
    KeepAliveTimes times{start, start};
    EXPECT_FALSE(KeepAliveDue(start + 1000, times)) << start;
    EXPECT_TRUE(KeepAliveDue(start + 1001, times)) << start;
    EXPECT_EQ(times.lastSendTime, start + 1001);
    EXPECT_EQ(times.lastKeepAliveTime, start + 1001);
    EXPECT_FALSE(KeepAliveDue(start + 2001, times)) << start;
    EXPECT_TRUE(KeepAliveDue(start + 2002, times)) << start;
  }
  // A send the engine stored after the window read the clock is no idleness.
  for (const Tick now : {Tick{5000}, Tick{0xFFFFFFFFU}}) {
    KeepAliveTimes justSent{now + 1, now};
    EXPECT_FALSE(KeepAliveDue(now, justSent)) << now;
  }
  // Busy: a datagram leaves on every 30 ms tick, so only the ten-second rule fires.
  const Tick start = 0xFFFFFFFFU - 25'000;
  KeepAliveTimes times{start, start};
  std::vector<Tick> due;
  for (Tick t = 30; t <= 60'000; t += 30) {
    if (KeepAliveDue(start + t, times)) { due.push_back(t); }
    times.lastSendTime = start + t;
  }
  EXPECT_EQ(due, (std::vector<Tick>{10'020, 20'040, 30'060, 40'080, 50'100}));
}

} // namespace
} // namespace kestrel
