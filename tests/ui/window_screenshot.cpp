// Draws the main window offscreen, server and client on, a few events in the dump, and saves it
// as a PNG: the picture of the window in the documentation. Usage: window_screenshot OUT.png

#include "ui/dump_list.hpp"
#include "window_fixture.hpp"

#include <QApplication>
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

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_screenshot OUT.png\n");
    return 2;
  }
  if (!kestrel::test::IsolateNetwork("window_screenshot")) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  kestrel::test::WindowBench bench;
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

  kestrel::ui::MainWindow& w = bench.Open();
  w.resize(w.sizeHint().expandedTo(QSize(720, 700)));
  w.show();
  w.Controller().OnStatusReport(kestrel::ui::kReportConnection,
                                static_cast<int>(kestrel::net::ConnectionState::Connected));
  w.Controller().OnStatusReport(kestrel::ui::kReportProbeResult, 2);

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
  w.Controller().LampTrigger(1);
  w.Controller().LampTrigger(4);
  w.StatusTick();
  w.DumpList().setFocus();
  QApplication::processEvents();

  const QPixmap picture = w.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %dx%d\n", argv[1], picture.width(), picture.height());
  return 0;
}
