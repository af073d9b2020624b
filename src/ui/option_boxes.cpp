// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/option_boxes.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel::ui {

OptionBoxes::OptionBoxes(const PanelHost& host, std::function<void()> cleared, std::function<void()> about,
                         QWidget* parent)
    : QWidget(parent) {
  const auto& translate = host.tr;
  const auto forward = host.forward;
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);

  auto* midiInBox = new QGroupBox(English("MIDI In"), this);
  auto* midiInLayout = new QVBoxLayout(midiInBox);
  midiIn_ = new QComboBox(midiInBox);
  midiIn_->setObjectName(QStringLiteral("midiIn"));
  midiIn_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  midiIn_->setMinimumContentsLength(16);
  midiInTarget_ = new QComboBox(midiInBox);
  midiInTarget_->setObjectName(QStringLiteral("midiInTarget"));
  midiInLayout->addWidget(midiIn_);
  midiInLayout->addWidget(midiInTarget_);
  row->addWidget(midiInBox, 1);

  auto* filtersBox = new QGroupBox(English("MIDI In Filters"), this);
  auto* filtersLayout = new QVBoxLayout(filtersBox);
  filterTimingClock_ = new QCheckBox(English("Timing Clock"), filtersBox);
  filterTimingClock_->setObjectName(QStringLiteral("filterTimingClock"));
  filterTimingClock_->setToolTip(translate("Filtering 'Timing Clock' events"));
  filterActiveSensing_ = new QCheckBox(English("Active Sensing"), filtersBox);
  filterActiveSensing_->setObjectName(QStringLiteral("filterActiveSensing"));
  filterActiveSensing_->setToolTip(translate("Filtering 'Active Sensing' events"));
  filtersLayout->addWidget(filterTimingClock_);
  filtersLayout->addWidget(filterActiveSensing_);
  row->addWidget(filtersBox);

  auto* dumpFilterBox = new QGroupBox(English("MIDI Dump Filter"), this);
  auto* dumpFilterLayout = new QVBoxLayout(dumpFilterBox);
  dumpFilter_ = new QCheckBox(English("Timing Clock and Active Sensing"), dumpFilterBox);
  dumpFilter_->setObjectName(QStringLiteral("dumpFilter"));
  dumpFilter_->setToolTip(translate("Filtering 'Timing Clock' and 'Active Sensing' events"));
  dumpFilterLayout->addWidget(dumpFilter_);
  dumpFilterLayout->addStretch(1);
  row->addWidget(dumpFilterBox);

  auto* dumpBox = new QGroupBox(English("MIDI Dump"), this);
  auto* dumpLayout = new QGridLayout(dumpBox);
  dumpServer_ = new QCheckBox(English("Server"), dumpBox);
  dumpServer_->setObjectName(QStringLiteral("dumpServer"));
  dumpClient_ = new QCheckBox(English("Client"), dumpBox);
  dumpClient_->setObjectName(QStringLiteral("dumpClient"));
  auto* clear = new QPushButton(English("Clear"), dumpBox);
  clear->setObjectName(QStringLiteral("clear"));
  clear->setToolTip(translate("Clear MIDI Dump"));
  clear->setAutoDefault(false);
  connect(clear, &QPushButton::clicked, this, [forward, cleared = std::move(cleared)] {
    forward([](CMainDlg& c) { c.OnClearClicked(); });
    cleared();
  });
  dumpLayout->addWidget(dumpServer_, 0, 0);
  dumpLayout->addWidget(dumpClient_, 1, 0);
  dumpLayout->addWidget(clear, 0, 1, 2, 1, Qt::AlignVCenter);
  row->addWidget(dumpBox);

  autostart_ = new QCheckBox(English("Autostart"), this);
  autostart_->setObjectName(QStringLiteral("autostart"));
  autostart_->setToolTip(translate("Run Kestrel when Windows started"));
  auto* corner = new QVBoxLayout;
  auto* aboutButton = new QPushButton(English("About..."), this);
  aboutButton->setObjectName(QStringLiteral("about"));
  aboutButton->setAutoDefault(false);
  connect(aboutButton, &QPushButton::clicked, this, [about = std::move(about)] { about(); });
  corner->addWidget(aboutButton, 0, Qt::AlignRight);
  corner->addStretch(1);
  corner->addWidget(autostart_);
  row->addLayout(corner);

  const auto midiInChanged = [this, forward] {
    const int device = midiIn_->currentIndex();
    const int target = midiInTarget_->currentIndex();
    forward([device, target](CMainDlg& c) { c.OnMidiInChanged(device, target); });
  };
  connect(midiIn_, &QComboBox::currentIndexChanged, this, midiInChanged);
  connect(midiInTarget_, &QComboBox::currentIndexChanged, this, midiInChanged);
  for (QCheckBox* box : {dumpServer_, dumpClient_, dumpFilter_, filterTimingClock_, filterActiveSensing_}) {
    connect(box, &QCheckBox::clicked, this, [forward] { forward([](CMainDlg& c) { c.OnDumpOptionClicked(); }); });
  }
  connect(autostart_, &QCheckBox::clicked, this, [forward] { forward([](CMainDlg& c) { c.OnAutostartClicked(); }); });
}

void OptionBoxes::Read(ControlValues& v) const {
  v.dumpServer = dumpServer_->isChecked();
  v.dumpClient = dumpClient_->isChecked();
  v.filter = dumpFilter_->isChecked();
  v.filterTimingClock = filterTimingClock_->isChecked();
  v.filterActiveSensing = filterActiveSensing_->isChecked();
  v.autostart = autostart_->isChecked();
}

void OptionBoxes::Write(const MainFields& f, const ControlStates& st) {
  dumpServer_->setChecked(f.dumpServer);
  dumpClient_->setChecked(f.dumpClient);
  dumpFilter_->setChecked(f.filter);
  filterTimingClock_->setChecked(f.filterTimingClock);
  filterActiveSensing_->setChecked(f.filterActiveSensing);
  autostart_->setChecked(f.autostart);
  ShowChoice(midiIn_, f.midiIn);
  ShowChoice(midiInTarget_, f.midiInTarget);
  midiIn_->setEnabled(st.midiInEnabled);
  midiInTarget_->setEnabled(st.targetEnabled);
}

} // namespace kestrel::ui
