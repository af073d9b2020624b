// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the record path: queueing, packing, reading, gathering and decoding.
#include "core/dump_store.hpp"
#include "core/event_decoder.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <mutex>
#include <vector>

namespace kestrel {
namespace {

// The production set-up: window present, filters on, server dump off.
struct QueueFixture {
  QueueFixture() { flags.present = true; }
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  std::mutex consumer;
};

QueueFixture& SharedQueue() {
  static QueueFixture fixture;
  return fixture;
}

void BM_Append(benchmark::State& state) {
  QueueFixture& f = SharedQueue();
  const ShortRecord record = MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0x90, 60, 100));
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.queue.Append(record));
    // Play the consumer now and then so the queue never fills up.
    if (f.queue.Count() > SendQueue::kCapacity / 2) {
      const std::lock_guard guard(f.consumer);
      benchmark::DoNotOptimize(f.queue.Take().data());
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Append)->Name("Append 36-byte record")->Threads(1)->Threads(4)->UseRealTime();

std::vector<std::byte> ShortRecords(std::size_t count) {
  std::vector<std::byte> records;
  records.reserve(count * kShortRecordSize);
  for (std::size_t i = 0; i < count; ++i) {
    const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, 1 + static_cast<std::int32_t>(i % 8),
                                          static_cast<std::int32_t>(i), 0, PackShortMessage(0x90, 60, 100));
    records.insert(records.end(), r.begin(), r.end());
  }
  return records;
}

void BM_Pack(benchmark::State& state) {
  std::vector<std::byte> records = ShortRecords(100'000);
  for (auto _ : state) {
    std::size_t datagrams = 0;
    PackDatagrams(
        records, [] { return 1U; },
        [&](std::span<const std::byte> d) {
          benchmark::DoNotOptimize(d.data());
          ++datagrams;
        });
    benchmark::DoNotOptimize(datagrams);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}
BENCHMARK(BM_Pack)->Name("Pack 100000 short records into datagrams");

void BM_Read(benchmark::State& state) {
  const std::size_t count = kMaxDatagram / kShortRecordSize; // 14 records, 504 bytes
  const std::vector<std::byte> datagram = ShortRecords(count);
  for (auto _ : state) {
    RecordReader reader(datagram);
    RecordView view;
    std::uint32_t sum = 0;
    while (reader.Next(view)) sum += view.Word();
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(datagram.size()));
}
BENCHMARK(BM_Read)->Name("Read a full datagram of short records");

void BM_Gather(benchmark::State& state) {
  std::vector<std::byte> message(kMaxRecordSize);
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(kMaxLongMessage);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = 1;
  StoreHeader(message.data(), h);
  // Fragment once, keep the datagrams, then gather them over and over.
  std::vector<std::vector<std::byte>> fragments;
  SendFragments(message, 7, [&](std::span<const std::byte> d) { fragments.emplace_back(d.begin(), d.end()); });
  FragmentGatherer gatherer;
  for (auto _ : state) {
    for (const auto& d : fragments) {
      RecordReader reader(d);
      RecordView view;
      (void)reader.Next(view);
      benchmark::DoNotOptimize(gatherer.Add(view, 0));
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kMaxLongMessage));
  state.counters["fragments"] = static_cast<double>(fragments.size());
}
BENCHMARK(BM_Gather)->Name("Gather a 65536-byte message from its fragments");

void BM_Decode(benchmark::State& state) {
  const std::array<ShortRecord, 4> rows{
      MakeShortRecord(RecordType::MIM_DATA, 1, 10, 12, PackShortMessage(0x99, 36, 100)),
      MakeShortRecord(RecordType::MIM_DATA, 1, 10, 12, PackShortMessage(0xB0, 7, 90)),
      MakeShortRecord(RecordType::MIM_DATA, 1, 10, 12, PackShortMessage(0xE3, 0, 64)),
      MakeShortRecord(RecordType::MIM_DATA, 1, 10, 12, PackShortMessage(0xF8)),
  };
  std::array<RecordView, 4> views{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    views[i].header = LoadHeader(rows[i].data());
    views[i].bytes = rows[i];
    views[i].payload = views[i].bytes.subspan(kHeaderSize);
  }
  EventDecoder decoder;
  std::array<char, 260> text{};
  std::size_t i = 0;
  for (auto _ : state) { benchmark::DoNotOptimize(decoder.DecodeEventText(text, views[i++ % views.size()])); }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decode)->Name("DecodeEventText per row");

} // namespace
} // namespace kestrel

BENCHMARK_MAIN();
