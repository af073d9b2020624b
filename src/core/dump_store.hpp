// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Every record the MIDI dump shows, kept as received (the list decodes rows only when it draws
// them), and the per-port time bases from which the lag figures are computed.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace kestrel {

struct WindowFlags;

struct DumpLimits {
  std::size_t maxBytes = std::size_t{32} << 20U;  // record bytes kept; oldest rows go beyond this
  std::size_t maxRows = 1'000'000;                // rows kept; oldest rows go beyond this
  std::size_t chunkBytes = std::size_t{1} << 20U; // storage grows and shrinks in chunks this big
};

// The rows a store keeps, by absolute number: `first` is the oldest kept row (the rows dropped
// before it, DroppedRows()), `end` is one past the newest (first + RowCount()).
struct DumpExtent {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};

struct LagFigures {
  std::int32_t minLag = 0;
  std::int32_t maxLag = 0;
};

// All operations may be called from any thread; each runs wholly under the store's lock.
// Writers: the send queue (server side) and the client engine; reader: the dump list.
class DumpStore {
public:
  static constexpr int kTimeBases = 17; // indexed by port number 0..16

  DumpStore(const TickClock& clock, const WindowFlags& flags, DumpLimits limits = {});
  DumpStore(const DumpStore&) = delete;
  DumpStore& operator=(const DumpStore&) = delete;
  ~DumpStore();

  // Lag bookkeeping for one record that was queued or played: sets the port's time base at its
  // first event (reset by open and close notices), rewrites `record.captureTime` relative to it
  // and widens MinLag/MaxLag. Keep-alives and ports outside 0..16 are left alone.
  void NoteArrival(EventRecord& record);

  // Logs one record. No row for keep-alives, nor for Timing Clock and Active Sensing while the
  // window's dump filter is on. Beyond the limits the oldest rows are dropped. Storage grows in
  // chunks, so this allocates only about once per chunk.
  void AppendToDump(const EventRecord& header, std::span<const std::byte> payload);

  // Empties the dump and gives its storage back.
  void ClearDump();

  [[nodiscard]] std::size_t RowCount() const;

  // Rows dropped from the front to stay within the limits, since construction (rows removed by
  // ClearDump are not counted). A view can use it to keep its selection on the same record.
  [[nodiscard]] std::uint64_t DroppedRows() const;

  // DroppedRows() and RowCount() read together, under one lock. Readers that follow the store
  // while it is at its bounds use this and WithAbsoluteRow: the two read one after the other
  // disagree whenever rows were added or dropped in between, and positions computed from them
  // point at the wrong rows.
  [[nodiscard]] DumpExtent Extent() const;

  // Calls fn(const RecordView&) with row `row` under the store's lock and returns true; false when
  // there is no such row. `fn` must not call back into the store.
  template <class Fn>
  bool WithRow(std::size_t row, Fn&& fn) const {
    const std::lock_guard guard(lock_);
    if (row >= rowCount_) { return false; }
    fn(RowLocked(row));
    return true;
  }

  // As WithRow, for the row that was the `absolute`-th ever kept (DroppedRows() + row): a view
  // that counts rows from the first one it saw finds the same record even while old rows go.
  template <class Fn>
  bool WithAbsoluteRow(std::uint64_t absolute, Fn&& fn) const {
    const std::lock_guard guard(lock_);
    if (absolute < droppedRows_ || absolute - droppedRows_ >= rowCount_) return false;
    fn(RowLocked(static_cast<std::size_t>(absolute - droppedRows_)));
    return true;
  }

  // Bytes of record storage the store holds, spare chunk included.
  [[nodiscard]] std::size_t StorageBytes() const;

  [[nodiscard]] std::int32_t TimeBase(int port) const;
  [[nodiscard]] std::int32_t MinLag() const;
  [[nodiscard]] std::int32_t MaxLag() const;
  // Returns MinLag and MaxLag and sets both to 0, atomically (the window's periodic fold).
  LagFigures TakeLag();

private:
  struct RowLocation {
    std::uint64_t chunk; // absolute chunk number
    std::uint32_t offset;
  };
  struct Chunk {
    std::unique_ptr<std::byte[]> data;
    std::size_t used = 0;
  };

  [[nodiscard]] RecordView RowLocked(std::size_t row) const noexcept;
  void DropOldestRowLocked() noexcept;
  void DropOldestChunkLocked();
  void PushRowLocked(RowLocation location);

  const TickClock& clock_;
  const WindowFlags& flags_;
  DumpLimits limits_;
  mutable std::mutex lock_;

  std::deque<Chunk> chunks_;     // oldest first
  std::uint64_t firstChunk_ = 0; // absolute number of chunks_.front()
  std::vector<std::unique_ptr<std::byte[]>> spareChunks_;

  std::vector<RowLocation> rows_; // ring buffer, grows by doubling up to maxRows
  std::size_t rowHead_ = 0;
  std::size_t rowCount_ = 0;
  std::uint64_t droppedRows_ = 0;

  std::array<std::int32_t, kTimeBases> timeBase_{};
  std::int32_t minLag_ = 0;
  std::int32_t maxLag_ = 0;
};

} // namespace kestrel
