// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the pictures of the documentation offscreen: the main window with server and client on
// and a few events in the dump, in English and in German, and the tray menu beside its icon.
// Usage: window_screenshot DOCS_DIR LANG_DIR (LANG_DIR holds the language files).

#include "config/translation.hpp"
#include "ui/dump_list.hpp"
#include "ui/tray_icon.hpp"
#include "window_fixture.hpp"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

#include <array>
#include <cstdio>
#include <initializer_list>

namespace {

using kestrel::EventRecord;
using kestrel::RecordType;

void Append(kestrel::DumpStore& dump, std::int32_t port, std::int32_t time, std::initializer_list<int> bytes) {
  std::vector<std::byte> payload;
  for (const int b : bytes) payload.push_back(static_cast<std::byte>(b));
  const bool shortMessage = payload.size() <= 3;
  if (shortMessage) payload.resize(4);
  EventRecord r;
  r.type = static_cast<std::int32_t>(shortMessage ? RecordType::MIM_DATA : RecordType::MIM_LONGDATA);
  r.port = port;
  r.timestamp = time;
  r.captureTime = time + (port % 3);
  r.dataLength = static_cast<std::int32_t>(payload.size());
  dump.AppendToDump(r, payload);
}

void SetUp(kestrel::test::WindowBench& bench) {
  bench.devices.in = {"USB MIDI Interface 1", "Master Keyboard"};
  bench.devices.out = {"Kestrel Port1", "Kestrel Port2",        "Kestrel Port3", "Kestrel Port4",
                       "Rack Synth",    "USB MIDI Interface 1", "Drum Module"};
  bench.outputs.known.insert({"Rack Synth", "USB MIDI Interface 1", "Drum Module", "Kestrel Port4"});
  kestrel::Settings& s = bench.settings;
  s.WriteConfigInt("Server", "Enable", 1);
  s.WriteConfigInt("Client", "Enable", 1);
  s.WriteConfigInt("Server", "Log", 1);
  s.WriteConfigInt("Client", "Log", 1);
  s.WriteConfigInt("Client", "UDPPort", 8801);
  for (int n = 1; n <= 3; ++n) s.WriteConfigInt("Server", ("Port" + std::to_string(n)).c_str(), 1);
  const std::array<const char*, 4> rows{"Rack Synth", "Drum Module", "USB MIDI Interface 1", "Kestrel Port4"};
  for (int n = 1; n <= 4; ++n) {
    s.WriteConfigInt("Client", ("Port" + std::to_string(n)).c_str(), 1);
    s.WriteConfigText("Client", ("To" + std::to_string(n)).c_str(), rows[static_cast<std::size_t>(n - 1)]);
  }
  for (int n = 5; n <= 8; ++n) {
    s.WriteConfigInt("Client", ("Port" + std::to_string(n)).c_str(), 0);
    s.WriteConfigText("Client", ("To" + std::to_string(n)).c_str(), "--Not Connected--");
  }
  s.WriteConfigText("Server", "MidiIN_Port", "Master Keyboard");
  s.WriteConfigText("Server", "MidiIN_Port2", "Kestrel Port4");
}

// The window connected, with a few events in its dump.
kestrel::ui::MainWindow& Stage(kestrel::test::WindowBench& bench) {
  kestrel::ui::MainWindow& w = bench.Open();
  // Polished first: the style's margins count in the size the window asks for.
  w.ensurePolished();
  w.resize(w.sizeHint().expandedTo(QSize(720, 700)));
  w.show();
  w.Controller().OnStatusReport(kestrel::controller::kReportConnection,
                                static_cast<int>(kestrel::net::ConnectionState::Connected));
  w.Controller().OnStatusReport(kestrel::controller::kReportProbeResult, 2);

  std::int32_t t = 51200;
  for (int i = 0; i < 6; ++i) {
    Append(bench.dump, 1, t += 120, {0x90, 60 + 4 * i, 96});
    Append(bench.dump, 2, t += 3, {0x99, 36, 110});
    Append(bench.dump, 1, t += 115, {0x80, 60 + 4 * i, 0});
  }
  Append(bench.dump, 3, t += 40, {0xB0, 7, 100});
  Append(bench.dump, 3, t += 2, {0xC0, 12});
  Append(bench.dump, 1, t += 30, {0xE0, 0, 72});
  Append(bench.dump, 4, t += 12, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  Append(bench.dump, 4, t + 9, {0x90, 48, 80});
  w.Controller().Inbox().LampTrigger(1);
  w.Controller().Inbox().LampTrigger(4);
  w.StatusTick();
  w.DumpList().setFocus();
  QApplication::processEvents();
  return w;
}

// The tray menu as it opens under its icon at the top of a desktop panel.
QPixmap TrayMenuPicture(kestrel::ui::MainWindow& w) {
  w.EnableTray();
  w.RefreshStatus();
  QMenu& menu = w.Tray()->Menu();
  menu.popup(QPoint(0, 0));
  QApplication::processEvents();
  const QPixmap shown = menu.grab();
  menu.hide();

  constexpr int kPanel = 28;
  constexpr int kIcon = 22;
  constexpr int kMargin = 6;
  QPixmap picture(shown.width() + 2 * kMargin + kIcon, shown.height() + kPanel + kMargin);
  picture.fill(QColor(236, 236, 236));
  QPainter p(&picture);
  p.fillRect(0, 0, picture.width(), kPanel, QColor(48, 52, 58));
  const int iconX = picture.width() - kMargin - kIcon;
  p.drawPixmap(iconX, (kPanel - kIcon) / 2, kestrel::ui::TrayPixmap(w.Tray()->Picture(), kIcon));
  p.drawPixmap(picture.width() - kMargin - shown.width(), kPanel, shown);
  return picture;
}

bool Save(const QPixmap& picture, const std::string& path) {
  if (!picture.save(QString::fromStdString(path), "PNG")) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s: %dx%d\n", path.c_str(), picture.width(), picture.height());
  return true;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_screenshot DOCS_DIR LANG_DIR\n");
    return 2;
  }
  const std::string docs = argv[1];
  const std::string languages = argv[2];
  if (!kestrel::test::IsolateNetwork("window_screenshot")) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  {
    kestrel::test::WindowBench bench;
    SetUp(bench);
    kestrel::ui::MainWindow& w = Stage(bench);
    if (!Save(w.grab(), docs + "/kestrel-window.png")) return 1;
    if (!Save(TrayMenuPicture(w), docs + "/kestrel-tray-menu.png")) return 1;
  }
  {
    // As a German user has it: LangID de, and Lang.de found beside the program.
    kestrel::test::WindowBench bench;
    SetUp(bench);
    bench.settings.WriteConfigText("Pref", "LangID", "de");
    bench.translator = kestrel::Translator(kestrel::LanguageFileNameFor("de"), languages, bench.dir.Path());
    kestrel::ui::MainWindow& w = Stage(bench);
    if (!Save(w.grab(), docs + "/kestrel-window-de.png")) return 1;
  }
  return 0;
}
