// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

namespace kestrel {

// The main window's flags that the capture callbacks, the send queue, the engines and the dump
// store read on their own threads without a lock. The window's controller owns and writes them;
// the application context keeps them alive longer than every thread that reads them.
struct WindowFlags {
  // The main window (or the headless controller) exists. While false, nothing is filtered and
  // nothing reaches the dump store.
  std::atomic<bool> present{false};
  std::atomic<bool> filterTimingClock{true};   // "Pref"/"FilterTC": the queue refuses 0xF8
  std::atomic<bool> filterActiveSensing{true}; // "Pref"/"FilterAS": the queue refuses 0xFE
  std::atomic<bool> dumpFilter{true};          // "Pref"/"Filter": 0xF8 and 0xFE get no dump row
  std::atomic<bool> serverLog{false};          // "Server"/"Log": server-side records are dumped
  std::atomic<bool> clientLog{false};          // "Client"/"Log": client-side records are dumped
  // The virtual port (0-based, 0..7) under which the ordinary MIDI In device is sent; read by the
  // capture thread with every event, so a change applies from the next event on.
  std::atomic<int> midiInTarget{0};
};

} // namespace kestrel
