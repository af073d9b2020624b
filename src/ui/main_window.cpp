// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main_window.hpp"

#include "shell/event_glue.hpp"
#include "ui/about_box.hpp"
#include "ui/dump_list.hpp"
#include "ui/indicator_widgets.hpp"
#include "ui/statistics_view.hpp"
#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include <cstdio>

namespace kestrel::ui {

namespace {

constexpr int kApplyDelayMs = 1000;
// A move or resize counts as finished once the window has kept still this long.
constexpr int kGeometrySettleMs = 400;
constexpr int kLatencyPaneWidth = 80;
constexpr int kMaxLatencyPaneWidth = 120;
constexpr const char* kCaption = "Vantor Kestrel";
// The notice RestorePortCount shows while the provider restarts.

std::string PortText(std::uint32_t port) { return std::to_string(port); }

void SetTextIfChanged(QLabel* label, const QString& text) {
  if (label != nullptr && label->text() != text) label->setText(text);
}

void SetShown(QWidget* widget, bool shown) {
  if (widget->isHidden() == shown) widget->setVisible(shown);
}

// Shows a choice list in a combo box. The entries are rebuilt only when they differ, so an open
// popup or the user's place in a long list is not disturbed by every write; the selection is
// set without emitting a change, which only the user makes.
void ShowChoice(QComboBox* combo, const ChoiceList& choice) {
  const QSignalBlocker quiet(combo);
  bool same = combo->count() == choice.Count();
  for (int i = 0; same && i < choice.Count(); ++i) same = combo->itemText(i) == QString::fromStdString(choice.At(i));
  if (!same) {
    combo->clear();
    for (const std::string& entry : choice.Entries()) combo->addItem(QString::fromStdString(entry));
  }
  if (combo->currentIndex() != choice.Selected()) combo->setCurrentIndex(choice.Selected());
}

// A port edit keeps what the user typed while it means the field's number (a leading zero, say),
// so writing the fields back never moves the cursor under the user's hands.
void ShowPort(QLineEdit* edit, std::uint32_t port) {
  const auto shown = ParsePortText(edit->text().toStdString());
  if (!shown || *shown != port) edit->setText(QString::fromStdString(PortText(port)));
}

// Texts of the window as built are English; TranslateDialog puts them into the user's language
// once the window is complete.
QString English(const char* text) { return QString::fromUtf8(text); }
QString English(const std::string& text) { return QString::fromStdString(text); }

QLabel* BoldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

QLineEdit* PortEdit(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  // Digits only; an empty edit stays possible, so that the controller can say what it needs.
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), edit));
  edit->setMaxLength(5);
  edit->setAlignment(Qt::AlignRight);
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
  return edit;
}

} // namespace

MainWindow::MainWindow(ControllerServices services, shell::EventGlue& glue, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      translator_(services.translator), glue_(glue) {
  const DumpStore& dump = services.dump;
  controller_ = std::make_unique<CMainDlg>(std::move(services), *this);
  setObjectName(QStringLiteral("kestrelMain"));
  setWindowTitle(English(kCaption));
  setWindowIcon(ProgramIcon());

  auto* root = new QVBoxLayout(this);
  auto* panels = new QHBoxLayout;
  panels->addWidget(BuildServerPanel());
  panels->addWidget(BuildClientPanel(), 1);
  root->addLayout(panels);
  root->addWidget(BuildBoxes());
  dumpList_ = new DumpListView(dump, {T("TimeStamp"), T("Port"), T("Hex"), T("Code")}, this);
  dumpList_->setObjectName(QStringLiteral("dumpList"));
  dumpList_->setToolTip(T("MidiDump\nTo AutoScroll - press End"));
  dumpList_->setMinimumHeight(dumpList_->verticalHeader()->defaultSectionSize() * 6);
  root->addWidget(dumpList_, 1);
  BuildStatusBar();
  if (statusBar_ != nullptr) root->addWidget(statusBar_);

  applyTimer_.setSingleShot(true);
  connect(&applyTimer_, &QTimer::timeout, this, [this] { Forward([](CMainDlg& c) { c.OnApplyTimer(); }); });
  geometryTimer_.setSingleShot(true);
  connect(&geometryTimer_, &QTimer::timeout, this, [this] { GeometrySettled(); });
  ConnectControls();

  // Linux window managers offer no way into a window's own menu: the About entry lives in the
  // window's context menu instead (and on F1 and the "About..." button).
  windowMenu_ = new QMenu(this);
  windowMenu_->setObjectName(QStringLiteral("windowMenu"));
  aboutAction_ = windowMenu_->addAction(QString());
  connect(
      aboutAction_, &QAction::triggered, this, [this] { OpenAbout(); }, Qt::QueuedConnection);
  statisticsAction_ = windowMenu_->addAction(QString());
  statisticsAction_->setObjectName(QStringLiteral("statisticsAction"));
  connect(statisticsAction_, &QAction::triggered, this, [this] { OpenStatistics(); });
  // "Exit" as the tray has it, for desktops without a tray, and on Ctrl+Q whether the menu is
  // open or not.
  exitAction_ = windowMenu_->addAction(QString());
  exitAction_->setObjectName(QStringLiteral("exitAction"));
  exitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  exitAction_->setShortcutContext(Qt::WindowShortcut);
  addAction(exitAction_);
  connect(exitAction_, &QAction::triggered, this,
          [this] { Forward([this](CMainDlg& c) { c.OnTrayMenu(kTrayExit, isVisible()); }); });
  trayWatch_.setInterval(5000);
  connect(&trayWatch_, &QTimer::timeout, this, [this] {
    if (trayAvailable_ && trayAvailable_()) EnableTray();
  });

  TranslateDialog(*this, kCaption, translator_);
  // Some styles (Fusion) draw a button's label with less room than the size the button asks
  // for; the restore button's long label, in whatever language, keeps a little to spare.
  restore_->setMinimumWidth(restore_->sizeHint().width() + 2 * restore_->fontMetrics().averageCharWidth());
  ApplyStoredGeometry();
}

MainWindow::~MainWindow() {
  // The controller's own end (server off, client off) still writes to the widgets: it goes
  // while they exist.
  geometryTimer_.stop();
  controller_.reset();
}

QString MainWindow::T(const char* text) const { return QString::fromUtf8(controller_->Tr(text)); }

void MainWindow::Forward(const std::function<void(CMainDlg&)>& handler) {
  if (controller_ == nullptr || glue_.Quitting()) return;
  glue_.Guard([&] { handler(*controller_); });
}

// ---- building -------------------------------------------------------------------------------

QWidget* MainWindow::BuildServerPanel() {
  auto* panel = new QGroupBox(this);
  auto* grid = new QGridLayout(panel);
  server_ = new QCheckBox(English("Server"), panel);
  server_->setObjectName(QStringLiteral("server"));
  server_->setToolTip(T("Start/Stop Server"));
  grid->addWidget(server_, 0, 0, 1, 2);

  auto* portRow = new QHBoxLayout;
  serverPort_ = PortEdit(panel);
  serverPort_->setObjectName(QStringLiteral("serverPort"));
  serverPort_->setToolTip(T("Browse for Computer"));
  auto* portLabel = new QLabel(English("Port"), panel);
  portLabel->setBuddy(serverPort_);
  portRow->addWidget(portLabel);
  portRow->addWidget(serverPort_);
  portRow->addSpacing(8);
  // Where the broadcast leaves: "Automatic" (the system's routing) or one of the machine's
  // interfaces, for machines with several networks.
  interface_ = new QComboBox(panel);
  interface_->setObjectName(QStringLiteral("interface"));
  interface_->setToolTip(T("The network the server broadcasts on"));
  interface_->setAccessibleName(QStringLiteral("Server network interface"));
  interface_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* interfaceLabel = new QLabel(English("on"), panel);
  interfaceLabel->setBuddy(interface_);
  portRow->addWidget(interfaceLabel);
  portRow->addWidget(interface_);
  portRow->addStretch(1);
  grid->addLayout(portRow, 1, 0, 1, 2);
  grid->addWidget(BoldLabel(English("Transmit from"), panel), 2, 0, 1, 2);

  // The rows line up with the client panel's, whose combo boxes are taller than a check box.
  const int rowHeight = QComboBox().sizeHint().height();
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    auto* row = new QCheckBox(English("Kestrel Port" + std::to_string(i + 1)), panel);
    row->setObjectName(QStringLiteral("serverRow%1").arg(i + 1));
    row->setToolTip(T("Capture from MIDI"));
    serverRows_[n] = row;
    auto* lamp = new Lamp([this, i](LampMouse what) { Forward([&](CMainDlg& c) { c.OnLampMouse(i, what); }); }, panel);
    lamp->setObjectName(QStringLiteral("lamp%1").arg(i + 1));
    lamp->setAccessibleName(QStringLiteral("Kestrel Port%1 activity").arg(i + 1));
    lamp->setToolTip(T("Indicator of Activity.\n\nClick for tesing the Sound"));
    lamps_[n] = lamp;
    grid->addWidget(row, 3 + i, 0);
    grid->addWidget(lamp, 3 + i, 1, Qt::AlignCenter);
    grid->setRowMinimumHeight(3 + i, rowHeight);
  }
  grid->setRowMinimumHeight(1, rowHeight);
  grid->setRowStretch(3 + kRows, 1);
  // Ports lost while the server ran come back by restarting the provider; the button is usable
  // only then (RefreshStatus follows the controller).
  restore_ = new QPushButton(English("Restore Kestrel ports"), panel);
  restore_->setObjectName(QStringLiteral("restorePorts"));
  restore_->setAutoDefault(false);
  restore_->setEnabled(false);
  grid->addWidget(restore_, 4 + kRows, 0, 1, 2);
  return panel;
}

QWidget* MainWindow::BuildClientPanel() {
  auto* panel = new QGroupBox(this);
  auto* grid = new QGridLayout(panel);

  auto* top = new QHBoxLayout;
  client_ = new QCheckBox(English("Client"), panel);
  client_->setObjectName(QStringLiteral("client"));
  client_->setToolTip(T("Start/Stop Client"));
  ip_ = new QComboBox(panel);
  ip_->setObjectName(QStringLiteral("ip"));
  ip_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* ipLabel = new QLabel(English("IP"), panel);
  ipLabel->setBuddy(ip_);
  top->addWidget(client_);
  top->addStretch(1);
  top->addWidget(ipLabel);
  top->addWidget(ip_);
  grid->addLayout(top, 0, 0, 1, 2);

  auto* second = new QHBoxLayout;
  clientPort_ = PortEdit(panel);
  clientPort_->setObjectName(QStringLiteral("clientPort"));
  auto* portLabel = new QLabel(English("Port"), panel);
  portLabel->setBuddy(clientPort_);
  second->addWidget(portLabel);
  second->addWidget(clientPort_);
  second->addSpacing(12);
  // The connection display and the error text take turns in one place.
  auto* slot = new QWidget(panel);
  auto* slotGrid = new QGridLayout(slot);
  slotGrid->setContentsMargins(0, 0, 0, 0);
  connection_ = new ConnectionDisplay({T("Connected"), T("Connecting..."), T("Disconnected")}, slot);
  connection_->setObjectName(QStringLiteral("connection"));
  connection_->setToolTip(T("Connect to Server"));
  error_ = new QLabel(slot);
  error_->setObjectName(QStringLiteral("error"));
  error_->setAccessibleName(QStringLiteral("Client error"));
  ShowErrorColour();
  error_->hide();
  slotGrid->addWidget(connection_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
  slotGrid->addWidget(error_, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
  QSizePolicy keep = connection_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  connection_->setSizePolicy(keep);
  second->addWidget(slot);
  // Whom the client hears, and how far away.
  heardServer_ = new QLabel(panel);
  heardServer_->setObjectName(QStringLiteral("heardServer"));
  heardServer_->setAccessibleName(QStringLiteral("Server heard"));
  second->addWidget(heardServer_);
  latency_ = new QLabel(panel);
  latency_->setObjectName(QStringLiteral("latency"));
  latency_->setAccessibleName(QStringLiteral("Network delay"));
  second->addWidget(latency_);
  second->addStretch(1);
  grid->addLayout(second, 1, 0, 1, 2);

  grid->addWidget(BoldLabel(English("From Servers Port"), panel), 2, 0);
  grid->addWidget(BoldLabel(English("To Local Device"), panel), 2, 1);
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    auto* row = new QCheckBox(English("Kestrel Port" + std::to_string(i + 1)), panel);
    row->setObjectName(QStringLiteral("clientRow%1").arg(i + 1));
    row->setToolTip(T("Capture port from Server"));
    clientRows_[n] = row;
    auto* output = new QComboBox(panel);
    output->setObjectName(QStringLiteral("output%1").arg(i + 1));
    output->setToolTip(T("Select Output Device"));
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
  return panel;
}

QWidget* MainWindow::BuildBoxes() {
  auto* boxes = new QWidget(this);
  auto* row = new QHBoxLayout(boxes);
  row->setContentsMargins(0, 0, 0, 0);

  auto* midiInBox = new QGroupBox(English("MIDI In"), boxes);
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

  auto* filtersBox = new QGroupBox(English("MIDI In Filters"), boxes);
  auto* filtersLayout = new QVBoxLayout(filtersBox);
  filterTimingClock_ = new QCheckBox(English("Timing Clock"), filtersBox);
  filterTimingClock_->setObjectName(QStringLiteral("filterTimingClock"));
  filterTimingClock_->setToolTip(T("Filtering 'Timing Clock' events"));
  filterActiveSensing_ = new QCheckBox(English("Active Sensing"), filtersBox);
  filterActiveSensing_->setObjectName(QStringLiteral("filterActiveSensing"));
  filterActiveSensing_->setToolTip(T("Filtering 'Active Sensing' events"));
  filtersLayout->addWidget(filterTimingClock_);
  filtersLayout->addWidget(filterActiveSensing_);
  row->addWidget(filtersBox);

  auto* dumpFilterBox = new QGroupBox(English("MIDI Dump Filter"), boxes);
  auto* dumpFilterLayout = new QVBoxLayout(dumpFilterBox);
  dumpFilter_ = new QCheckBox(English("Timing Clock and Active Sensing"), dumpFilterBox);
  dumpFilter_->setObjectName(QStringLiteral("dumpFilter"));
  dumpFilter_->setToolTip(T("Filtering 'Timing Clock' and 'Active Sensing' events"));
  dumpFilterLayout->addWidget(dumpFilter_);
  dumpFilterLayout->addStretch(1);
  row->addWidget(dumpFilterBox);

  auto* dumpBox = new QGroupBox(English("MIDI Dump"), boxes);
  auto* dumpLayout = new QGridLayout(dumpBox);
  dumpServer_ = new QCheckBox(English("Server"), dumpBox);
  dumpServer_->setObjectName(QStringLiteral("dumpServer"));
  dumpClient_ = new QCheckBox(English("Client"), dumpBox);
  dumpClient_->setObjectName(QStringLiteral("dumpClient"));
  auto* clear = new QPushButton(English("Clear"), dumpBox);
  clear->setObjectName(QStringLiteral("clear"));
  clear->setToolTip(T("Clear MIDI Dump"));
  clear->setAutoDefault(false);
  connect(clear, &QPushButton::clicked, this, [this] {
    Forward([](CMainDlg& c) { c.OnClearClicked(); });
    dumpList_->ClearRows();
  });
  dumpLayout->addWidget(dumpServer_, 0, 0);
  dumpLayout->addWidget(dumpClient_, 1, 0);
  dumpLayout->addWidget(clear, 0, 1, 2, 1, Qt::AlignVCenter);
  row->addWidget(dumpBox);

  autostart_ = new QCheckBox(English("Autostart"), boxes);
  autostart_->setObjectName(QStringLiteral("autostart"));
  autostart_->setToolTip(T("Run Kestrel when Windows started"));
  auto* corner = new QVBoxLayout;
  auto* about = new QPushButton(English("About..."), boxes);
  about->setObjectName(QStringLiteral("about"));
  about->setAutoDefault(false);
  connect(about, &QPushButton::clicked, this, [this] { OpenAbout(); });
  corner->addWidget(about, 0, Qt::AlignRight);
  corner->addStretch(1);
  corner->addWidget(autostart_);
  row->addLayout(corner);
  return boxes;
}

void MainWindow::BuildStatusBar() {
  // One line under the dump list: the latest notice (a setting ignored, a device gone or back,
  // what was dropped). Debug mode adds the latency figures beside it.
  statusBar_ = new QStatusBar(this);
  statusBar_->setObjectName(QStringLiteral("statusBar"));
  statusBar_->setSizeGripEnabled(false);
  noticePane_ = new QLabel(statusBar_);
  noticePane_->setObjectName(QStringLiteral("notice"));
  noticePane_->setAccessibleName(QStringLiteral("Latest notice"));
  // A long notice is cut, not allowed to widen the window.
  noticePane_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar_->addWidget(noticePane_, 1);
  ShowLatestNotice();
  if (!controller_->Debug()) return;
  latencyPane_ = new QLabel(statusBar_);
  latencyPane_->setFixedWidth(kLatencyPaneWidth);
  maxLatencyPane_ = new QLabel(statusBar_);
  maxLatencyPane_->setFixedWidth(kMaxLatencyPaneWidth);
  statusBar_->addPermanentWidget(latencyPane_);
  statusBar_->addPermanentWidget(maxLatencyPane_);
}

void MainWindow::ConnectControls() {
  connect(server_, &QCheckBox::clicked, this, [this] { Forward([](CMainDlg& c) { c.OnServerClicked(); }); });
  connect(client_, &QCheckBox::clicked, this, [this] { Forward([](CMainDlg& c) { c.OnClientClicked(); }); });
  for (int i = 0; i < kRows; ++i) {
    const auto n = static_cast<std::size_t>(i);
    connect(serverRows_[n], &QCheckBox::clicked, this,
            [this, i] { Forward([i](CMainDlg& c) { c.OnServerPortClicked(i); }); });
    connect(clientRows_[n], &QCheckBox::clicked, this,
            [this, i] { Forward([i](CMainDlg& c) { c.OnClientPortClicked(i); }); });
    connect(outputs_[n], &QComboBox::currentIndexChanged, this,
            [this, i](int index) { Forward([i, index](CMainDlg& c) { c.OnOutputChanged(i, index); }); });
  }
  const auto midiInChanged = [this] {
    const int device = midiIn_->currentIndex();
    const int target = midiInTarget_->currentIndex();
    Forward([device, target](CMainDlg& c) { c.OnMidiInChanged(device, target); });
  };
  connect(midiIn_, &QComboBox::currentIndexChanged, this, midiInChanged);
  connect(midiInTarget_, &QComboBox::currentIndexChanged, this, midiInChanged);
  connect(ip_, &QComboBox::currentIndexChanged, this,
          [this](int index) { Forward([index](CMainDlg& c) { c.OnIpChanged(index); }); });
  connect(interface_, &QComboBox::currentIndexChanged, this,
          [this](int index) { Forward([index](CMainDlg& c) { c.OnInterfaceChanged(index); }); });
  for (QLineEdit* edit : {serverPort_, clientPort_}) {
    connect(edit, &QLineEdit::textEdited, this, [this] { Forward([](CMainDlg& c) { c.OnPortEdited(); }); });
  }
  for (QCheckBox* box : {dumpServer_, dumpClient_, dumpFilter_, filterTimingClock_, filterActiveSensing_}) {
    connect(box, &QCheckBox::clicked, this, [this] { Forward([](CMainDlg& c) { c.OnDumpOptionClicked(); }); });
  }
  connect(autostart_, &QCheckBox::clicked, this, [this] { Forward([](CMainDlg& c) { c.OnAutostartClicked(); }); });
  connect(restore_, &QPushButton::clicked, this, [this] {
    Forward([](CMainDlg& c) { c.RestorePortCount(); });
    RefreshStatus();
  });
}

// ---- life -----------------------------------------------------------------------------------

void MainWindow::Init() {
  controller_->OnInitDialog();
  RefreshStatus();
}

void MainWindow::EnableTray() {
  if (tray_ != nullptr) return;
  tray_ = std::make_unique<TrayIcon>(TrayHooks{
      .tr = [this](const char* text) { return T(text); },
      .windowVisible = [this] { return isVisible(); },
      .serverEnabled = [this] { return controller_->Fields().serverEnabled; },
      .clientEnabled = [this] { return controller_->Fields().clientEnabled; },
      .command = [this](int command, bool visible) { Forward([&](CMainDlg& c) { c.OnTrayMenu(command, visible); }); },
      .click = [this](bool visible) { Forward([&](CMainDlg& c) { c.OnTrayClick(visible); }); },
  });
  tray_->Show();
  trayWatch_.stop();
  // Not yet shown (the tray was there at start): the close box goes, closing would do nothing.
  // A tray that appears later leaves the box, which still asks.
  if (!isVisible()) setWindowFlag(Qt::WindowCloseButtonHint, false);
  RefreshStatus();
}

void MainWindow::WatchForTray(std::function<bool()> available, int intervalMs) {
  if (tray_ != nullptr) return;
  trayAvailable_ = std::move(available);
  trayWatch_.start(intervalMs);
}

void MainWindow::OpenAbout() {
  AboutBox box(translator_, {}, isVisible() ? this : nullptr);
  box.exec();
}

void MainWindow::OpenStatistics() {
  if (statistics_ == nullptr) statistics_ = new StatisticsView(controller_->Drops(), translator_, this);
  statistics_->show();
  statistics_->raise();
  statistics_->activateWindow();
}

void MainWindow::StatusTick() {
  Forward([](CMainDlg& c) { c.OnStatusTimer(); });
  RefreshStatus();
  dumpList_->Tick();
}

void MainWindow::RefreshStatus() {
  Forward([this](CMainDlg& c) {
    const StatusDisplay d = c.UpdateTrayAndStatus();
    SetTextIfChanged(latencyPane_, QString::fromStdString(d.latencyPane));
    SetTextIfChanged(maxLatencyPane_, QString::fromStdString(d.maxLatencyPane));
    if (d.errorVisible) SetTextIfChanged(error_, QString::fromUtf8(d.errorText.c_str()));
    SetShown(error_, d.errorVisible);
    connection_->SetState(d.connectionState);
    SetShown(connection_, d.connectionVisible);
    SetTextIfChanged(latency_, QString::fromUtf8(c.LatencyText().c_str()));
    SetTextIfChanged(heardServer_, c.HeardServerText().empty()
                                       ? QString()
                                       : QStringLiteral("from ") + QString::fromStdString(c.HeardServerText()));
    const bool restore = c.RestoreAvailable();
    if (restore_->isEnabled() != restore) restore_->setEnabled(restore);
    if (tray_ != nullptr) tray_->Set(d.tray, d.tip);
  });
}

// ---- data exchange --------------------------------------------------------------------------

void MainWindow::ReadControls(ControlValues& v) {
  v.dumpServer = dumpServer_->isChecked();
  v.dumpClient = dumpClient_->isChecked();
  for (std::size_t i = 0; i < kRows; ++i) {
    v.serverPorts[i] = serverRows_[i]->isChecked();
    v.clientPorts[i] = clientRows_[i]->isChecked();
  }
  v.serverEnabled = server_->isChecked();
  v.clientEnabled = client_->isChecked();
  v.filter = dumpFilter_->isChecked();
  v.filterTimingClock = filterTimingClock_->isChecked();
  v.filterActiveSensing = filterActiveSensing_->isChecked();
  v.clientPort = clientPort_->text().toStdString();
  v.serverPort = serverPort_->text().toStdString();
  v.autostart = autostart_->isChecked();
}

void MainWindow::WriteControls() {
  if (controller_ == nullptr) return; // a notice while the controller is still being built
  const MainFields& f = controller_->Fields();
  const ControlStates st = controller_->States();
  dumpServer_->setChecked(f.dumpServer);
  dumpClient_->setChecked(f.dumpClient);
  for (std::size_t i = 0; i < kRows; ++i) {
    serverRows_[i]->setChecked(f.serverPorts[i]);
    serverRows_[i]->setEnabled(st.serverPortEnabled[i]);
    lamps_[i]->setEnabled(st.lampsEnabled);
    clientRows_[i]->setChecked(f.clientPorts[i]);
    clientRows_[i]->setEnabled(st.clientPanelEnabled);
    ShowChoice(outputs_[i], f.outputs[i]);
    outputs_[i]->setEnabled(st.clientPanelEnabled);
  }
  server_->setChecked(f.serverEnabled);
  client_->setChecked(f.clientEnabled);
  dumpFilter_->setChecked(f.filter);
  filterTimingClock_->setChecked(f.filterTimingClock);
  filterActiveSensing_->setChecked(f.filterActiveSensing);
  ShowPort(clientPort_, f.clientPort);
  ShowPort(serverPort_, f.serverPort);
  autostart_->setChecked(f.autostart);
  ShowChoice(ip_, f.ipList);
  ShowChoice(interface_, f.interfaces);
  ShowChoice(midiIn_, f.midiIn);
  ShowChoice(midiInTarget_, f.midiInTarget);

  serverPort_->setEnabled(st.serverPortEditEnabled);
  midiIn_->setEnabled(st.midiInEnabled);
  midiInTarget_->setEnabled(st.targetEnabled);
  clientPort_->setEnabled(st.clientPanelEnabled);
  ip_->setEnabled(st.clientPanelEnabled);
}

// ---- what the controller asks of the window -------------------------------------------------

void MainWindow::ShowBox(const std::string& text, bool error) {
  if (messageHook_) {
    messageHook_(text);
    return;
  }
  const QString shown = QString::fromUtf8(text.c_str());
  if (error) {
    QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Kestrel"), shown);
  } else {
    QMessageBox::information(isVisible() ? this : nullptr, T(kCaption), shown);
  }
}

void MainWindow::ShowMessage(const std::string& text) { ShowBox(text, false); }

void MainWindow::ShowError(const std::string& text) {
  ShowBox(T("Error: %s").replace(QStringLiteral("%s"), QString::fromUtf8(text.c_str())).toStdString(), true);
}

void MainWindow::ShowErrorMessage(const std::string& text) { ShowBox(text, true); }

void MainWindow::ShowBusyNotice(const std::string& text) {
  // The notice is a window of its own, built in English and translated like every other.
  const QString english = QString::fromUtf8(text.c_str());
  auto notice = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  notice->setObjectName(QStringLiteral("busyNotice"));
  auto* layout = new QVBoxLayout(notice.get());
  auto* label = new QLabel(english, notice.get());
  label->setObjectName(QStringLiteral("busyText"));
  label->setAlignment(Qt::AlignCenter);
  label->setFrameStyle(QFrame::Panel | QFrame::Raised);
  label->setMargin(24);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label);
  TranslateDialog(*notice, "", translator_);
  notice->show();
  notice->repaint();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // Painted now: the work that follows keeps the event loop busy.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  busyNotice_ = std::move(notice);
}

void MainWindow::HideBusyNotice() {
  if (busyNotice_ == nullptr) return;
  QApplication::restoreOverrideCursor();
  busyNotice_.reset();
}

void MainWindow::ShowMainWindow(bool show) {
  if (!show) {
    // Hidden, the window is reached again through the tray; without one, through the task bar.
    if (tray_ != nullptr) {
      hide();
    } else {
      showMinimized();
    }
    return;
  }
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  this->show();
  raise();
  activateWindow();
}

void MainWindow::RepaintLamp(int index) {
  if (index < 0 || index >= kRows || controller_ == nullptr) return;
  lamps_[static_cast<std::size_t>(index)]->SetLit(controller_->Lamp(index).Lit());
}

void MainWindow::StartApplyTimer() { applyTimer_.start(kApplyDelayMs); }

void MainWindow::StopApplyTimer() { applyTimer_.stop(); }

void MainWindow::Post(std::function<void()> fn) { glue_.Post(std::move(fn)); }

void MainWindow::Notice(const std::string& text) {
  std::fprintf(stderr, "kestrel: %s\n", text.c_str());
  ++noticeCount_;
  notices_.push_back(text);
  if (notices_.size() > kKeptNotices) notices_.pop_front();
  ShowLatestNotice();
}

void MainWindow::ShowLatestNotice() {
  // Notices of the controller's construction come before the pane exists; it shows them then.
  if (noticePane_ == nullptr || notices_.empty()) return;
  QString shown = QString::fromStdString(notices_.back());
  if (noticeCount_ > 1) shown += QStringLiteral("  (%1 earlier)").arg(noticeCount_ - 1);
  SetTextIfChanged(noticePane_, shown);
  QStringList recent;
  for (const std::string& n : notices_) recent << QString::fromStdString(n);
  noticePane_->setToolTip(recent.join(QLatin1Char('\n')));
}

void MainWindow::Quit() {
  glue_.SetQuitting();
  QCoreApplication::exit(0);
}

// ---- window events --------------------------------------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
  case Qt::Key_Escape: Forward([](CMainDlg& c) { c.OnEscape(); }); return;
  case Qt::Key_Return:
  case Qt::Key_Enter: PressedEnter(); return;
  case Qt::Key_F1: OpenAbout(); return;
  default: QWidget::keyPressEvent(event);
  }
}

// Right clicks that no control takes (on the panels, labels, the window's background) open the
// window's own menu.
void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  aboutAction_->setText(T("&About Vantor Kestrel..."));
  statisticsAction_->setText(T("&Statistics..."));
  exitAction_->setText(T("Exit"));
  windowMenu_->popup(event->globalPos());
  event->accept();
}

// Enter takes what the controls hold, as leaving a dialog with OK does, and hides the window;
// an edit the controller refuses keeps the window open with its message.
void MainWindow::PressedEnter() {
  Forward([](CMainDlg& c) { c.OnOk(); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The program ends through "Exit" or a request from outside. With a tray, closing the window
  // does nothing; without one, it asks, since the window is then the only way in.
  event->ignore();
  if (tray_ == nullptr) AskToStop();
}

void MainWindow::AskToStop() {
  if (stopQuestion_ != nullptr) {
    stopQuestion_->raise();
    return;
  }
  stopQuestion_ = new QMessageBox(QMessageBox::Question, QStringLiteral("Kestrel"),
                                  QStringLiteral("Stop Kestrel? MIDI stops crossing the network until it is started "
                                                 "again."),
                                  QMessageBox::Yes | QMessageBox::No, this);
  stopQuestion_->setObjectName(QStringLiteral("stopQuestion"));
  stopQuestion_->setDefaultButton(QMessageBox::No);
  stopQuestion_->setAttribute(Qt::WA_DeleteOnClose);
  connect(stopQuestion_, &QMessageBox::finished, this, [this](int answer) {
    stopQuestion_ = nullptr;
    if (answer == QMessageBox::Yes) Forward([this](CMainDlg& c) { c.OnTrayMenu(kTrayExit, isVisible()); });
  });
  stopQuestion_->open();
}

void MainWindow::ShowErrorColour() {
  error_->setStyleSheet(QStringLiteral("color: %1; font-weight: bold;").arg(ErrorColour(palette()).name()));
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && error_ != nullptr) ShowErrorColour();
  if (event->type() != QEvent::WindowStateChange || tray_ == nullptr || !isMinimized()) return;
  // Minimizing hides to the tray; queued, because hiding from inside the state change confuses
  // some window managers.
  Post([this] { controller_->OnStatusReport(kReportShow, 0); });
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible() && !isMinimized()) geometryTimer_.start(kGeometrySettleMs);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isVisible() && !isMinimized()) geometryTimer_.start(kGeometrySettleMs);
}

// Position of the frame, size of the contents: restoring both gives back the same window.
void MainWindow::ApplyStoredGeometry() {
  savedGeometry_ = controller_->StoredGeometry();
  if (savedGeometry_.w <= 0) return;
  move(savedGeometry_.x, savedGeometry_.y);
  resize(savedGeometry_.w, savedGeometry_.h);
}

void MainWindow::GeometrySettled() {
  if (!isVisible() || isMinimized()) return;
  const WindowGeometry now{x(), y(), width(), height()};
  if (now.x == savedGeometry_.x && now.y == savedGeometry_.y && now.w == savedGeometry_.w &&
      now.h == savedGeometry_.h) {
    return;
  }
  savedGeometry_ = now;
  Forward([now](CMainDlg& c) { c.OnWindowMoved(now); });
}

} // namespace kestrel::ui
