// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/flow_control.hpp"

#include "base/auto_reset_event.hpp"

#include <algorithm>
#include <climits>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>

namespace kestrel::midi {

namespace {
constexpr int kMargin = 16;      // cells left free for other senders
constexpr long kMaxBudget = 200; // cells taken between two queries
constexpr int kNoLimit = INT_MAX / 2;

// The sequencer's pool record (struct snd_seq_client_pool of the kernel's interface; its header
// cannot be included beside alsa-lib's).
struct ClientPool {
  int client;
  int outputPool;
  int inputPool;
  int outputRoom;
  int outputFree;
  int inputFree;
  char reserved[64];
};
// NOLINTNEXTLINE(hicpp-signed-bitwise): the kernel's own encoding
constexpr unsigned long kGetClientPool = _IOWR('S', 0x4b, ClientPool);
} // namespace

std::size_t EventCells(const snd_seq_event_t& ev) noexcept {
  if ((ev.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE) return 1;
  return 1 + (ev.data.ext.len + sizeof(snd_seq_event_t) - 1) / sizeof(snd_seq_event_t);
}

int DrainOutputDroppingRefused(snd_seq_t* seq, void (*onDrop)(void* context, const snd_seq_event_t& ev),
                               void* context) noexcept {
  int dropped = 0;
  // After a refusal the refused event heads the buffer; each round takes one away, so this ends.
  while (snd_seq_drain_output(seq) != 0) {
    snd_seq_event_t* ev = nullptr;
    if (snd_seq_extract_output(seq, &ev) < 0) break;
    if (onDrop != nullptr && ev != nullptr) onDrop(context, *ev);
    ++dropped;
  }
  return dropped;
}

int InputRoom(snd_seq_t* seq, int client) noexcept {
  // alsa-lib asks only for the caller's own pool; the sequencer answers for any client.
  pollfd fd{};
  if (snd_seq_poll_descriptors(seq, &fd, 1, POLLIN) != 1) return kNoLimit;
  snd_seq_client_info_t* info = nullptr;
  snd_seq_client_info_alloca(&info);
  if (snd_seq_get_any_client_info(seq, client, info) < 0) return kNoLimit; // gone: nothing to wait for
  if (snd_seq_client_info_get_type(info) != SND_SEQ_USER_CLIENT) return kNoLimit;
  ClientPool pool{};
  pool.client = client;
  if (ioctl(fd.fd, kGetClientPool, &pool) < 0) return kNoLimit;
  return pool.inputFree;
}

int DestinationRoom(snd_seq_t* seq, snd_seq_addr_t dest) noexcept {
  snd_seq_client_info_t* info = nullptr;
  snd_seq_client_info_alloca(&info);
  if (snd_seq_get_any_client_info(seq, dest.client, info) < 0) return kNoLimit;
  if (snd_seq_client_info_get_type(info) == SND_SEQ_USER_CLIENT) return InputRoom(seq, dest.client);
  if (snd_seq_client_info_get_card(info) >= 0) return kNoLimit;
  // A through port takes every event at once and hands it on to its readers in the same moment:
  // what they have no room for is lost there, so their room is what counts.
  int room = kNoLimit;
  snd_seq_query_subscribe_t* query = nullptr;
  snd_seq_query_subscribe_alloca(&query);
  snd_seq_query_subscribe_set_root(query, &dest);
  snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
  snd_seq_query_subscribe_set_index(query, 0);
  while (snd_seq_query_port_subscribers(seq, query) >= 0) {
    room = std::min(room, InputRoom(seq, snd_seq_query_subscribe_get_addr(query)->client));
    snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
  }
  return room;
}

int ReaderBudget::Query() const noexcept {
  if (dest_.client != 255) return DestinationRoom(seq_, dest_);
  int room = kNoLimit;
  snd_seq_query_subscribe_t* query = nullptr;
  snd_seq_query_subscribe_alloca(&query);
  snd_seq_addr_t root{static_cast<unsigned char>(snd_seq_client_id(seq_)), static_cast<unsigned char>(port_)};
  snd_seq_query_subscribe_set_root(query, &root);
  snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
  snd_seq_query_subscribe_set_index(query, 0);
  while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
    room = std::min(room, DestinationRoom(seq_, *snd_seq_query_subscribe_get_addr(query)));
    snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
  }
  return room;
}

bool ReaderBudget::Reserve(std::size_t cells, std::chrono::milliseconds limit) {
  const long need = static_cast<long>(cells);
  if (budget_ >= need) {
    budget_ -= need;
    return true;
  }
  // A reader that let a whole wait pass is not waited for again until it has room once more:
  // one frozen program must not hold up everything else sent from here.
  const auto deadline = std::chrono::steady_clock::now() + (stalled_ ? std::chrono::milliseconds(0) : limit);
  for (;;) {
    const long room = static_cast<long>(Query()) - kMargin;
    if (room >= need) {
      // Other ports may write to the same reader: keep only a share of its room until the next query.
      budget_ = std::min(room - need, kMaxBudget);
      stalled_ = false;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      budget_ = 0;
      stalled_ = true;
      return false;
    }
    if (breaker_ != nullptr && breaker_->MaybeSet()) { // not the reader's fault: no stall noted
      budget_ = 0;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

} // namespace kestrel::midi
