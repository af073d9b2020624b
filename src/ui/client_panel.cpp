// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/client_panel.hpp"

#include "midi/alsa_seq.hpp"
#include "ui/indicator_widgets.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

namespace kestrel::ui {

ClientPanel::ClientPanel(const PanelHost& host, const QPalette& palette, QWidget* parent) : QGroupBox(parent) {
  const auto& translate = host.tr;
  auto* grid = new QGridLayout(this);

  auto* top = new QHBoxLayout;
  client_ = new QCheckBox(English("Client"), this);
  client_->setObjectName(QStringLiteral("client"));
  client_->setToolTip(translate("Start/Stop Client"));
  ip_ = new QComboBox(this);
  ip_->setObjectName(QStringLiteral("ip"));
  ip_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* ipLabel = new QLabel(English("IP"), this);
  ipLabel->setBuddy(ip_);
  top->addWidget(client_);
  top->addStretch(1);
  top->addWidget(ipLabel);
  top->addWidget(ip_);
  grid->addLayout(top, 0, 0, 1, 2);

  auto* second = new QHBoxLayout;
  port_ = PortEdit(this);
  port_->setObjectName(QStringLiteral("clientPort"));
  auto* portLabel = new QLabel(English("Port"), this);
  portLabel->setBuddy(port_);
  second->addWidget(portLabel);
  second->addWidget(port_);
  second->addSpacing(12);
  // The connection display and the error text take turns in one place.
  auto* slot = new QWidget(this);
  auto* slotGrid = new QGridLayout(slot);
  slotGrid->setContentsMargins(0, 0, 0, 0);
  connection_ =
      new ConnectionDisplay({translate("Connected"), translate("Connecting..."), translate("Disconnected")}, slot);
  connection_->setObjectName(QStringLiteral("connection"));
  connection_->setToolTip(translate("Connect to Server"));
  error_ = new QLabel(slot);
  error_->setObjectName(QStringLiteral("error"));
  error_->setAccessibleName(QStringLiteral("Client error"));
  ShowErrorColour(palette);
  error_->hide();
  slotGrid->addWidget(connection_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
  slotGrid->addWidget(error_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
  QSizePolicy keep = connection_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  connection_->setSizePolicy(keep);
  second->addWidget(slot);
  // Whom the client hears, and how far away.
  heardServer_ = new QLabel(this);
  heardServer_->setObjectName(QStringLiteral("heardServer"));
  heardServer_->setAccessibleName(QStringLiteral("Server heard"));
  second->addWidget(heardServer_);
  latency_ = new QLabel(this);
  latency_->setObjectName(QStringLiteral("latency"));
  latency_->setAccessibleName(QStringLiteral("Network delay"));
  second->addWidget(latency_);
  second->addStretch(1);
  grid->addLayout(second, 1, 0, 1, 2);

  grid->addWidget(BoldLabel(English("From Servers Port"), this), 2, 0);
  grid->addWidget(BoldLabel(English("To Local Device"), this), 2, 1);
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    auto* row = new QCheckBox(English(midi::VirtualPortName(i + 1)), this);
    row->setObjectName(QStringLiteral("clientRow%1").arg(i + 1));
    row->setToolTip(translate("Capture port from Server"));
    rows_[n] = row;
    auto* output = new QComboBox(this);
    output->setObjectName(QStringLiteral("output%1").arg(i + 1));
    output->setToolTip(translate("Select Output Device"));
    // Long device names must not widen the window: the popup shows them whole.
    output->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    output->setMinimumContentsLength(18);
    output->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    outputs_[n] = output;
    grid->addWidget(row, 3 + i, 0);
    grid->addWidget(output, 3 + i, 1);
  }
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(3 + kRows, 1);

  const auto forward = host.forward;
  connect(client_, &QCheckBox::clicked, this, [forward] { forward([](CMainDlg& c) { c.OnClientClicked(); }); });
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    connect(rows_[n], &QCheckBox::clicked, this,
            [forward, i] { forward([i](CMainDlg& c) { c.OnClientPortClicked(i); }); });
    connect(outputs_[n], &QComboBox::currentIndexChanged, this,
            [forward, i](int index) { forward([i, index](CMainDlg& c) { c.OnOutputChanged(i, index); }); });
  }
  connect(ip_, &QComboBox::currentIndexChanged, this,
          [forward](int index) { forward([index](CMainDlg& c) { c.OnIpChanged(index); }); });
  connect(port_, &QLineEdit::textEdited, this, [forward] { forward([](CMainDlg& c) { c.OnPortEdited(); }); });
}

void ClientPanel::Read(ControlValues& v) const {
  for (std::size_t i = 0; i < kRows; ++i) v.clientPorts[i] = rows_[i]->isChecked();
  v.clientEnabled = client_->isChecked();
  v.clientPort = port_->text().toStdString();
}

void ClientPanel::Write(const MainFields& f, const ControlStates& st) {
  for (std::size_t i = 0; i < kRows; ++i) {
    rows_[i]->setChecked(f.clientPorts[i]);
    rows_[i]->setEnabled(st.clientPanelEnabled);
    ShowChoice(outputs_[i], f.outputs[i]);
    outputs_[i]->setEnabled(st.clientPanelEnabled);
  }
  client_->setChecked(f.clientEnabled);
  ShowPort(port_, f.clientPort);
  ShowChoice(ip_, f.ipList);
  port_->setEnabled(st.clientPanelEnabled);
  ip_->setEnabled(st.clientPanelEnabled);
}

void ClientPanel::ShowStatus(const StatusDisplay& d, const std::string& latency, const std::string& heardServer) {
  if (d.errorVisible) SetTextIfChanged(error_, QString::fromUtf8(d.errorText.c_str()));
  SetShown(error_, d.errorVisible);
  connection_->SetState(d.connectionState);
  SetShown(connection_, d.connectionVisible);
  SetTextIfChanged(latency_, QString::fromUtf8(latency.c_str()));
  SetTextIfChanged(heardServer_,
                   heardServer.empty() ? QString() : QStringLiteral("from ") + QString::fromStdString(heardServer));
}

void ClientPanel::ShowErrorColour(const QPalette& palette) {
  error_->setStyleSheet(QStringLiteral("color: %1; font-weight: bold;").arg(ErrorColour(palette).name()));
}

} // namespace kestrel::ui
