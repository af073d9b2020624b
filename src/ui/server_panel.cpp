// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/server_panel.hpp"

#include "midi/alsa_seq.hpp"
#include "ui/indicator_widgets.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <string>

namespace kestrel::ui {

ServerPanel::ServerPanel(const PanelHost& host, std::function<void()> restored, QWidget* parent) : QGroupBox(parent) {
  const auto& translate = host.tr;
  auto* grid = new QGridLayout(this);
  server_ = new QCheckBox(English("Server"), this);
  server_->setObjectName(QStringLiteral("server"));
  server_->setToolTip(translate("Start/Stop Server"));
  grid->addWidget(server_, 0, 0, 1, 2);

  auto* portRow = new QHBoxLayout;
  port_ = PortEdit(this);
  port_->setObjectName(QStringLiteral("serverPort"));
  port_->setToolTip(translate("Browse for Computer"));
  auto* portLabel = new QLabel(English("Port"), this);
  portLabel->setBuddy(port_);
  portRow->addWidget(portLabel);
  portRow->addWidget(port_);
  portRow->addSpacing(8);
  // Where the broadcast leaves: "Automatic" (the system's routing) or one of the machine's
  // interfaces, for machines with several networks.
  interface_ = new QComboBox(this);
  interface_->setObjectName(QStringLiteral("interface"));
  interface_->setToolTip(translate("The network the server broadcasts on"));
  interface_->setAccessibleName(QStringLiteral("Server network interface"));
  interface_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* interfaceLabel = new QLabel(English("on"), this);
  interfaceLabel->setBuddy(interface_);
  portRow->addWidget(interfaceLabel);
  portRow->addWidget(interface_);
  portRow->addStretch(1);
  grid->addLayout(portRow, 1, 0, 1, 2);
  grid->addWidget(BoldLabel(English("Transmit from"), this), 2, 0, 1, 2);

  // The rows line up with the client panel's, whose combo boxes are taller than a check box.
  const int rowHeight = QComboBox().sizeHint().height();
  const auto forward = host.forward;
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    auto* row = new QCheckBox(English(midi::VirtualPortName(i + 1)), this);
    row->setObjectName(QStringLiteral("serverRow%1").arg(i + 1));
    row->setToolTip(translate("Capture from MIDI"));
    rows_[n] = row;
    auto* lamp =
        new Lamp([forward, i](LampMouse what) { forward([&](CMainDlg& c) { c.OnLampMouse(i, what); }); }, this);
    lamp->setObjectName(QStringLiteral("lamp%1").arg(i + 1));
    lamp->setAccessibleName(QStringLiteral("Kestrel Port%1 activity").arg(i + 1));
    lamp->setToolTip(translate("Indicator of Activity.\n\nClick for tesing the Sound"));
    lamps_[n] = lamp;
    grid->addWidget(row, 3 + i, 0);
    grid->addWidget(lamp, 3 + i, 1, Qt::AlignCenter);
    grid->setRowMinimumHeight(3 + i, rowHeight);
  }
  grid->setRowMinimumHeight(1, rowHeight);
  grid->setRowStretch(3 + kRows, 1);
  // Ports lost while the server ran come back by restarting the provider; the button is usable
  // only then (the window's idle update follows the controller).
  restore_ = new QPushButton(English("Restore Kestrel ports"), this);
  restore_->setObjectName(QStringLiteral("restorePorts"));
  restore_->setAutoDefault(false);
  restore_->setEnabled(false);
  grid->addWidget(restore_, 4 + kRows, 0, 1, 2);

  connect(server_, &QCheckBox::clicked, this, [forward] { forward([](CMainDlg& c) { c.OnServerClicked(); }); });
  for (int i = 0; i < kRows; ++i) {
    connect(rows_[static_cast<std::size_t>(i)], &QCheckBox::clicked, this,
            [forward, i] { forward([i](CMainDlg& c) { c.OnServerPortClicked(i); }); });
  }
  connect(interface_, &QComboBox::currentIndexChanged, this,
          [forward](int index) { forward([index](CMainDlg& c) { c.OnInterfaceChanged(index); }); });
  connect(port_, &QLineEdit::textEdited, this, [forward] { forward([](CMainDlg& c) { c.OnPortEdited(); }); });
  connect(restore_, &QPushButton::clicked, this, [forward, restored = std::move(restored)] {
    forward([](CMainDlg& c) { c.RestorePortCount(); });
    restored();
  });
}

void ServerPanel::Read(ControlValues& v) const {
  for (std::size_t i = 0; i < kRows; ++i) v.serverPorts[i] = rows_[i]->isChecked();
  v.serverEnabled = server_->isChecked();
  v.serverPort = port_->text().toStdString();
}

void ServerPanel::Write(const MainFields& f, const ControlStates& st) {
  for (std::size_t i = 0; i < kRows; ++i) {
    rows_[i]->setChecked(f.serverPorts[i]);
    rows_[i]->setEnabled(st.serverPortEnabled[i]);
    lamps_[i]->setEnabled(st.lampsEnabled);
  }
  server_->setChecked(f.serverEnabled);
  ShowPort(port_, f.serverPort);
  ShowChoice(interface_, f.interfaces);
  port_->setEnabled(st.serverPortEditEnabled);
}

void ServerPanel::ShowLamp(int index, bool lit) { lamps_[static_cast<std::size_t>(index)]->SetLit(lit); }

void ServerPanel::ShowRestoreAvailable(bool available) {
  if (restore_->isEnabled() != available) restore_->setEnabled(available);
}

void ServerPanel::KeepRoomForRestoreLabel() {
  restore_->setMinimumWidth(restore_->sizeHint().width() + 2 * restore_->fontMetrics().averageCharWidth());
}

} // namespace kestrel::ui
