// Hostile datagrams for the client's reader: whatever arrives, reading, gathering and decoding
// stay inside the received bytes and never crash.
#include "core/event_decoder.hpp"
#include "core/wire_protocol.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kestrel::FragmentGatherer gatherer(kestrel::GatherLimits{.maxPending = 4, .maxAgeMs = 5000});
  static kestrel::Tick now = 0;
  static kestrel::EventDecoder decoder;
  now += 7;
  std::array<char, 260> text{};
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes are bytes
  const std::span<const std::byte> datagram(reinterpret_cast<const std::byte*>(data), size);
  kestrel::RecordReader reader(datagram);
  kestrel::RecordView view;
  while (reader.Next(view)) {
    if (view.header.Is(kestrel::RecordType::Fragment) || view.header.Is(kestrel::RecordType::LastFragment)) {
      if (gatherer.Add(view, now) != kestrel::FragmentGatherer::Result::Complete) continue;
      view = gatherer.Completed();
    }
    for (int column = 0; column < kestrel::kDumpColumns + 1; ++column) decoder.CellText(text, view, column);
  }
  return 0;
}
