// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The server's half of the main window: the switch, the port and the network it broadcasts on,
// a row and an activity lamp for each port it transmits from, and the button that brings lost
// ports back. UI thread only.

#include "controller/main_dlg.hpp"
#include "controller/main_view.hpp"
#include "ui/window_parts.hpp"

#include <QGroupBox>

#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace kestrel::ui {

class Lamp;

class ServerPanel final : public QGroupBox {
public:
  // Builds the controls, each forwarding to the controller through `host`; `restored` runs after
  // the restore button's command.
  ServerPanel(const PanelHost& host, std::function<void()> restored, QWidget* parent);

  void Read(ControlValues& values) const;
  void Write(const MainFields& fields, const ControlStates& states);
  void ShowLamp(int index, bool lit);
  // The restore button is usable only while ports the server used are missing.
  void ShowRestoreAvailable(bool available);
  // Some styles (Fusion) draw a button's label with less room than the size the button asks
  // for; the restore button's long label, in whatever language, keeps a little to spare. Call
  // once the panel is translated.
  void KeepRoomForRestoreLabel();

private:
  QCheckBox* server_ = nullptr;
  QLineEdit* port_ = nullptr;
  QComboBox* interface_ = nullptr;
  std::array<QCheckBox*, kRows> rows_{};
  std::array<Lamp*, kRows> lamps_{};
  QPushButton* restore_ = nullptr;
};

} // namespace kestrel::ui
