// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The virtual ports the server panel was set up for, and bringing back those that vanished by
// restarting the provider, with both engines off meanwhile. Window thread.

#include "controller/main_fields.hpp"
#include "controller/main_view.hpp"
#include "controller/services.hpp"

#include <functional>

namespace kestrel::controller {

class PortRestore {
public:
  // What the window does around the restart, in this order: both engines off, the fields shown,
  // both engines on again as their switches say.
  struct Hooks {
    std::function<void()> enginesOff;
    std::function<void()> showFields;
    std::function<void()> enginesAsSwitched;
  };
  // Everything passed in outlives it.
  PortRestore(ControllerServices& services, MainView& view, MainFields& fields, Hooks hooks);

  // The provider's ports now: as the capture counts them, else as the sequencer lists them.
  [[nodiscard]] int CurrentCount() const;
  // Ports vanished since the server was switched on, and the provider can be restarted.
  [[nodiscard]] bool Available() const;
  // Restarts the provider with the count of fields.virtualPortSnapshot, behind the busy notice;
  // says so when fewer ports come back. The caller has read the controls and runs it as one
  // switch.
  void Restore();

private:
  ControllerServices& services_;
  MainView& view_;
  MainFields& fields_;
  Hooks hooks_;
};

} // namespace kestrel::controller
