// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Flow control towards sequencer readers. A reader's input pool holds at most 2000 cells (about
// 56 KB of system-exclusive data); an event that does not fit is refused, and worse, the
// sequencer then empties the reader's whole input queue at its next read. A long dump written
// faster than its reader takes it would lose far more than the event that did not fit. So a
// sender that can outrun its readers first waits until they have room.

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstddef>

namespace kestrel {
class AutoResetEvent;
}

namespace kestrel::midi {

// Cells an event takes in a reader's input pool: one, plus its variable-length data.
[[nodiscard]] std::size_t EventCells(const snd_seq_event_t& ev) noexcept;

// Writes what alsa-lib's output buffer holds. An event the sequencer refuses (its reader's pool is
// full) is dropped, as a refused direct write is, and the rest goes on behind it: one reader that
// takes nothing never holds up another's events. Returns how many events were dropped;
// `onDrop`, when given, is told of each (with `context`) before it goes.
int DrainOutputDroppingRefused(snd_seq_t* seq, void (*onDrop)(void* context, const snd_seq_event_t& ev) = nullptr,
                               void* context = nullptr) noexcept;

// Free cells in `client`'s input pool; a very large number for a kernel client (which has none).
[[nodiscard]] int InputRoom(snd_seq_t* seq, int client) noexcept;

// Free cells for events sent to `dest`: its client's input pool, or for a kernel client that
// hands events on as they come (a through port, no sound card) the least that its readers have.
// A very large number for a hardware port, which is paced by its wire instead.
[[nodiscard]] int DestinationRoom(snd_seq_t* seq, snd_seq_addr_t dest) noexcept;

// Keeps a conservative count of the room its readers have, so that most events need no query.
// One per sending port; used by one thread.
class ReaderBudget {
public:
  // Readers of our port `port` (its subscribers), or of one `dest` when its client is set (as
  // DestinationRoom counts them). A wait for room ends early, as one that ran out, while `breaker`
  // is set (the sender has more urgent work).
  ReaderBudget(snd_seq_t* seq, int port, snd_seq_addr_t dest = {255, 0},
               const AutoResetEvent* breaker = nullptr) noexcept
      : seq_(seq), port_(port), dest_(dest), breaker_(breaker) {}

  // Waits, in 1 ms steps up to `limit`, until the readers have room for `cells` more; takes them
  // from the budget. Returns false when the time ran out (the caller sends all the same or not);
  // until the readers have room again, later calls then return at once instead of waiting.
  bool Reserve(std::size_t cells, std::chrono::milliseconds limit = std::chrono::seconds(2));

  // Whether Reserve can take `cells` from what is left without asking the sequencer. A sender
  // that gathers events writes them out before Reserve asks: the readers' room is only known
  // once they have been told everything sent to them.
  [[nodiscard]] bool Covers(std::size_t cells) const noexcept { return budget_ >= static_cast<long>(cells); }

private:
  [[nodiscard]] int Query() const noexcept;

  snd_seq_t* seq_;
  int port_;
  snd_seq_addr_t dest_; // client 255: every subscriber of port_
  const AutoResetEvent* breaker_;
  long budget_ = 0;
  bool stalled_ = false;
};

} // namespace kestrel::midi
