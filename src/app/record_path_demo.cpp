#include "app/record_path_demo.hpp"

#include "core/dump_store.hpp"
#include "core/event_decoder.hpp"
#include "core/send_queue.hpp"
#include "core/tick_clock.hpp"
#include "core/window_flags.hpp"
#include "core/wire_protocol.hpp"

#include <array>
#include <vector>

namespace kestrel {

namespace {

void PrintDump(std::FILE* out, const char* title, const DumpStore& dump) {
  std::fprintf(out, "\n%s: %zu rows\n", title, dump.RowCount());
  std::fprintf(out, "  %-12s %-5s %-19s %s\n", "TimeStamp", "Port", "Hex", "Code");
  EventDecoder decoder;
  std::array<std::array<char, 260>, kDumpColumns> cells{};
  for (std::size_t row = 0; row < dump.RowCount(); ++row) {
    dump.WithRow(row, [&](const RecordView& record) {
      for (int c = 0; c < kDumpColumns; ++c) { decoder.CellText(cells[static_cast<std::size_t>(c)], record, c); }
    });
    std::fprintf(out, "  %-12s %-5s %-19s %s\n", cells[0].data(), cells[1].data(), cells[2].data(), cells[3].data());
  }
}

} // namespace

int RunRecordPathDemo(std::FILE* out) {
  ManualClock clock(100'000);
  WindowFlags serverFlags;
  serverFlags.present = true;
  serverFlags.serverLog = true;
  WindowFlags clientFlags;
  clientFlags.present = true;
  clientFlags.clientLog = true;
  DumpStore serverDump(clock, serverFlags);
  DumpStore clientDump(clock, clientFlags);
  SendQueue queue(serverDump, serverFlags);

  // What a musician plays into "Kestrel Port1" and "Kestrel Port3".
  std::int32_t t = 0;
  const auto play = [&](std::int32_t port, RecordType type, std::uint32_t word) {
    clock.Advance(2);
    t += 2;
    const ShortRecord r = MakeShortRecord(type, port, t, 0, word);
    return queue.Append(r);
  };
  play(1, RecordType::MIM_OPEN, 0);
  play(1, RecordType::MIM_DATA, PackShortMessage(0x90, 60, 100));
  play(1, RecordType::MIM_DATA, PackShortMessage(0xF8)); // Timing Clock: the filter refuses it
  play(3, RecordType::MIM_DATA, PackShortMessage(0xB2, 7, 90));
  play(1, RecordType::MIM_DATA, PackShortMessage(0x80, 60, 0));

  std::vector<std::byte> sysex(1000);
  EventRecord header;
  header.dataLength = static_cast<std::int32_t>(sysex.size());
  header.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  header.port = 3;
  header.timestamp = t;
  std::vector<std::byte> record(kHeaderSize + sysex.size());
  StoreHeader(record.data(), header);
  for (std::size_t i = 0; i < sysex.size(); ++i) {
    record[kHeaderSize + i] = std::byte{static_cast<std::uint8_t>(i % 128)};
  }
  record[kHeaderSize] = std::byte{0xF0};
  record[kHeaderSize + 1] = std::byte{0x43};
  record.back() = std::byte{0xF7};
  queue.Append(record);
  queue.Append(MakeKeepAlive(8));

  std::fprintf(out, "Queued %zu bytes (one Timing Clock refused by the filter).\n", queue.Count());
  if (queue.WakeEvent().Consume()) { std::fprintf(out, "The server engine was woken.\n"); }

  // The server engine's side: one batch, packed into datagrams.
  FragmentGatherer gatherer;
  int datagrams = 0;
  const auto receive = [&](std::span<const std::byte> datagram) {
    ++datagrams;
    std::fprintf(out, "datagram %d: %zu bytes:", datagrams, datagram.size());
    RecordReader reader(datagram);
    RecordView view;
    while (reader.Next(view)) {
      std::fprintf(out, " [type %d port %d len %d]", view.header.type, view.header.port, view.header.dataLength);
      EventRecord h = view.header;
      std::span<const std::byte> payload = view.payload;
      if (h.Is(RecordType::Fragment) || h.Is(RecordType::LastFragment)) {
        if (gatherer.Add(view, clock.Now()) != FragmentGatherer::Result::Complete) { continue; }
        h = gatherer.Completed().header;
        payload = gatherer.Completed().payload;
        std::fprintf(out, " -> whole message of %zu bytes", payload.size());
      }
      if (h.Is(RecordType::KeepAlive)) { continue; }
      clientDump.NoteArrival(h);
      clientDump.AppendToDump(h, payload);
    }
    std::fprintf(out, "\n");
  };
  std::uint32_t nextId = 0x1000;
  PackDatagrams(
      queue.Take(), [&] { return nextId++; }, receive);

  PrintDump(out, "Server dump", serverDump);
  PrintDump(out, "Client dump", clientDump);
  return 0;
}

} // namespace kestrel
