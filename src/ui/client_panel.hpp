// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The client's half of the main window: the switch, the server's address and port, the
// connection display (or the error in its place), whom the client hears and how far away, and a
// row with its output device for each port it receives. UI thread only.

#include "controller/main_dlg.hpp"
#include "controller/main_view.hpp"
#include "ui/window_parts.hpp"

#include <QGroupBox>

#include <array>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPalette;

namespace kestrel::ui {

class ConnectionDisplay;

class ClientPanel final : public QGroupBox {
public:
  // Builds the controls, each forwarding to the controller through `host`; the error text takes
  // its colour from `palette` (the window's).
  ClientPanel(const PanelHost& host, const QPalette& palette, QWidget* parent);

  void Read(ControlValues& values) const;
  void Write(const MainFields& fields, const ControlStates& states);
  // The idle update's share: the error text or the connection, whom the client hears, the delay.
  void ShowStatus(const StatusDisplay& display, const std::string& latency, const std::string& heardServer);
  // The error text stays readable on the theme's window colour; call when the palette changes.
  void ShowErrorColour(const QPalette& palette);

private:
  QCheckBox* client_ = nullptr;
  QComboBox* ip_ = nullptr;
  QLineEdit* port_ = nullptr;
  ConnectionDisplay* connection_ = nullptr;
  QLabel* latency_ = nullptr;
  QLabel* heardServer_ = nullptr;
  QLabel* error_ = nullptr;
  std::array<QCheckBox*, kRows> rows_{};
  std::array<QComboBox*, kRows> outputs_{};
};

} // namespace kestrel::ui
