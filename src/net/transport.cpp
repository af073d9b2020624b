// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/transport.hpp"

namespace kestrel::net {

bool RecordsOutSlots::Attach(RecordsOut& out) noexcept {
  for (std::atomic<RecordsOut*>& slot : slots_) {
    RecordsOut* empty = nullptr;
    if (slot.compare_exchange_strong(empty, &out)) return true;
  }
  return false;
}

void RecordsOutSlots::Detach(RecordsOut& out) noexcept {
  for (std::atomic<RecordsOut*>& slot : slots_) {
    RecordsOut* attached = &out;
    slot.compare_exchange_strong(attached, nullptr);
  }
}

void RecordsOutSlots::SendRecords(std::span<const std::byte> records) const noexcept {
  for (const std::atomic<RecordsOut*>& slot : slots_) {
    if (RecordsOut* out = slot.load(std::memory_order_acquire)) out->SendRecords(records);
  }
}

} // namespace kestrel::net
