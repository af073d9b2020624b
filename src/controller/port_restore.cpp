// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/port_restore.hpp"

#include "config/translation.hpp"
#include "midi/input_hub.hpp"

#include <string>
#include <utility>

namespace kestrel::controller {

PortRestore::PortRestore(ControllerServices& services, MainView& view, MainFields& fields, Hooks hooks)
    : services_(services), view_(view), fields_(fields), hooks_(std::move(hooks)) {}

int PortRestore::CurrentCount() const {
  return services_.inputs != nullptr ? services_.inputs->VirtualPortCount() : services_.devices.CountVirtualPorts();
}

bool PortRestore::Available() const {
  return services_.setVirtualPortCount && CurrentCount() < fields_.virtualPortSnapshot;
}

void PortRestore::Restore() {
  if (fields_.virtualPortSnapshot == CurrentCount() || !services_.setVirtualPortCount) return;
  // In English: the notice is a window of its own, which the view translates as it builds it.
  view_.ShowBusyNotice("Restarting MIDI Drivers. Please Wait...");
  const int wanted = fields_.virtualPortSnapshot;
  // No virtual port may be held open while the provider restarts.
  hooks_.enginesOff();
  const int found = services_.setVirtualPortCount(wanted);
  if (services_.inputs != nullptr) services_.inputs->SetVirtualPortCount(found);
  fields_.virtualPortSnapshot = found;
  hooks_.showFields();
  hooks_.enginesAsSwitched();
  view_.HideBusyNotice();
  if (wanted != services_.devices.CountVirtualPorts()) {
    view_.Notice("The provider came back with " + std::to_string(found) + " of " + std::to_string(wanted) + " ports");
    view_.ShowErrorMessage(services_.translator.TranslateString(
        "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer"));
  }
}

} // namespace kestrel::controller
