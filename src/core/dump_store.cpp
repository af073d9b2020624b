// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/dump_store.hpp"

#include "core/window_flags.hpp"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// Wrapping 32-bit arithmetic on the signed header fields, as the millisecond ticks wrap.
std::int32_t Sub(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
std::int32_t Add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::size_t kFirstRowCapacity = 1024;

} // namespace

DumpStore::DumpStore(const TickClock& clock, const WindowFlags& flags, DumpLimits limits)
    : clock_(clock), flags_(flags), limits_(limits) {
  limits_.chunkBytes = std::max(limits_.chunkBytes, kMaxRecordSize);
  limits_.maxBytes = std::max(limits_.maxBytes, limits_.chunkBytes);
  limits_.maxRows = std::max<std::size_t>(limits_.maxRows, 1);
}

DumpStore::~DumpStore() = default;

void DumpStore::NoteArrival(EventRecord& record) {
  if (record.Is(RecordType::KeepAlive)) { return; }
  const std::lock_guard guard(lock_);
  if (record.port < 0 || record.port >= kTimeBases) { return; }
  const auto now = static_cast<std::int32_t>(clock_.Now());
  std::int32_t& base = timeBase_[static_cast<std::size_t>(record.port)];
  if (record.Is(RecordType::MIM_OPEN) || record.Is(RecordType::MIM_CLOSE)) {
    base = 0;
    return;
  }
  if (base == 0) { base = Sub(now, record.timestamp); }
  record.captureTime = Sub(now, base);
  const std::int32_t lag = Sub(record.captureTime, record.timestamp);
  minLag_ = std::min(minLag_, lag);
  maxLag_ = std::max(maxLag_, lag);
  if (minLag_ < 0) {
    // Some port's events run ahead of its time base: move every time base earlier so that the
    // smallest lag is 0 again.
    for (std::int32_t& b : timeBase_) {
      if (b != 0) { b = Add(b, minLag_); }
    }
    maxLag_ = Sub(maxLag_, minLag_);
    minLag_ = 0;
  }
}

void DumpStore::AppendToDump(const EventRecord& header, std::span<const std::byte> payload) {
  if (header.Is(RecordType::KeepAlive)) { return; }
  if (!payload.empty() && flags_.dumpFilter.load(std::memory_order_relaxed)) {
    const auto first = std::to_integer<std::uint8_t>(payload[0]);
    if (first == 0xF8 || first == 0xFE) { return; }
  }
  const std::size_t size = kHeaderSize + payload.size();
  const std::lock_guard guard(lock_);
  if (size > limits_.chunkBytes) { return; }

  if (chunks_.empty() || chunks_.back().used + size > limits_.chunkBytes) {
    while (!chunks_.empty() && (chunks_.size() + 1) * limits_.chunkBytes > limits_.maxBytes) {
      DropOldestChunkLocked();
    }
    Chunk chunk;
    if (!spareChunks_.empty()) {
      chunk.data = std::move(spareChunks_.back());
      spareChunks_.pop_back();
    } else {
      chunk.data = std::make_unique_for_overwrite<std::byte[]>(limits_.chunkBytes);
    }
    chunks_.push_back(std::move(chunk));
  }

  Chunk& chunk = chunks_.back();
  EventRecord stored = header;
  stored.dataLength = static_cast<std::int32_t>(payload.size());
  std::byte* p = chunk.data.get() + chunk.used;
  StoreHeader(p, stored);
  if (!payload.empty()) { std::memcpy(p + kHeaderSize, payload.data(), payload.size()); }
  const RowLocation location{firstChunk_ + chunks_.size() - 1, static_cast<std::uint32_t>(chunk.used)};
  chunk.used += size;

  if (rowCount_ == limits_.maxRows) { DropOldestRowLocked(); }
  PushRowLocked(location);
}

void DumpStore::PushRowLocked(RowLocation location) {
  if (rowCount_ == rows_.size()) {
    const std::size_t capacity = std::min(std::max(kFirstRowCapacity, rows_.size() * 2), limits_.maxRows);
    std::vector<RowLocation> grown(capacity);
    for (std::size_t i = 0; i < rowCount_; ++i) { grown[i] = rows_[(rowHead_ + i) % rows_.size()]; }
    rows_ = std::move(grown);
    rowHead_ = 0;
  }
  rows_[(rowHead_ + rowCount_) % rows_.size()] = location;
  ++rowCount_;
}

void DumpStore::DropOldestRowLocked() noexcept {
  rowHead_ = (rowHead_ + 1) % rows_.size();
  --rowCount_;
  ++droppedRows_;
}

void DumpStore::DropOldestChunkLocked() {
  while (rowCount_ > 0 && rows_[rowHead_].chunk == firstChunk_) { DropOldestRowLocked(); }
  if (spareChunks_.empty()) { spareChunks_.push_back(std::move(chunks_.front().data)); }
  chunks_.pop_front();
  ++firstChunk_;
}

void DumpStore::ClearDump() {
  const std::lock_guard guard(lock_);
  firstChunk_ += chunks_.size();
  std::deque<Chunk>().swap(chunks_);
  spareChunks_.clear();
  std::vector<RowLocation>().swap(rows_);
  rowHead_ = 0;
  rowCount_ = 0;
}

std::size_t DumpStore::RowCount() const {
  const std::lock_guard guard(lock_);
  return rowCount_;
}

std::uint64_t DumpStore::DroppedRows() const {
  const std::lock_guard guard(lock_);
  return droppedRows_;
}

DumpExtent DumpStore::Extent() const {
  const std::lock_guard guard(lock_);
  return {droppedRows_, droppedRows_ + rowCount_};
}

RecordView DumpStore::RowLocked(std::size_t row) const noexcept {
  const RowLocation& location = rows_[(rowHead_ + row) % rows_.size()];
  const Chunk& chunk = chunks_[static_cast<std::size_t>(location.chunk - firstChunk_)];
  const std::byte* p = chunk.data.get() + location.offset;
  RecordView view;
  view.header = LoadHeader(p);
  view.bytes = std::span<const std::byte>(p, kHeaderSize + static_cast<std::size_t>(view.header.dataLength));
  view.payload = view.bytes.subspan(kHeaderSize);
  return view;
}

std::size_t DumpStore::StorageBytes() const {
  const std::lock_guard guard(lock_);
  return (chunks_.size() + spareChunks_.size()) * limits_.chunkBytes;
}

std::int32_t DumpStore::TimeBase(int port) const {
  const std::lock_guard guard(lock_);
  return port >= 0 && port < kTimeBases ? timeBase_[static_cast<std::size_t>(port)] : 0;
}

std::int32_t DumpStore::MinLag() const {
  const std::lock_guard guard(lock_);
  return minLag_;
}

std::int32_t DumpStore::MaxLag() const {
  const std::lock_guard guard(lock_);
  return maxLag_;
}

LagFigures DumpStore::TakeLag() {
  const std::lock_guard guard(lock_);
  const LagFigures figures{minLag_, maxLag_};
  minLag_ = 0;
  maxLag_ = 0;
  return figures;
}

} // namespace kestrel
