// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The row of boxes under the two panels: the MIDI In device and where it goes, the filters on
// what comes in, the dump's filter and sources with its Clear button, the About button and
// Autostart. UI thread only.

#include "controller/main_dlg.hpp"
#include "controller/main_view.hpp"
#include "ui/window_parts.hpp"

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;

namespace kestrel::ui {

class OptionBoxes final : public QWidget {
public:
  // Builds the boxes, each control forwarding to the controller through `host`; `cleared` runs
  // after the Clear button's command, `about` opens the About box.
  OptionBoxes(const PanelHost& host, std::function<void()> cleared, std::function<void()> about, QWidget* parent);

  void Read(ControlValues& values) const;
  void Write(const MainFields& fields, const ControlStates& states);

private:
  QComboBox* midiIn_ = nullptr;
  QComboBox* midiInTarget_ = nullptr;
  QCheckBox* filterTimingClock_ = nullptr;
  QCheckBox* filterActiveSensing_ = nullptr;
  QCheckBox* dumpFilter_ = nullptr;
  QCheckBox* dumpServer_ = nullptr;
  QCheckBox* dumpClient_ = nullptr;
  QCheckBox* autostart_ = nullptr;
};

} // namespace kestrel::ui
