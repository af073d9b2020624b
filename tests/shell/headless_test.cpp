// SPDX-License-Identifier: GPL-3.0-or-later
// kestrel --headless as a user or a script runs it: one instance per user, the local socket's
// requests, orderly ends on signals, a taken port, nonsense in Kestrel.dat, and what a technician
// reads of its drop counters (kestrel --status, --stats).

#include "base/json_text.hpp"
#include "core/drop_counters.hpp"
#include "platform/instance_endpoint.hpp"
#include "support/child_process.hpp"
#include "support/forged_datagrams.hpp"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel {
namespace {

using test::ChildProcess;
using test::ReadText;
using test::TempDir;
using test::WaitUntil;

class HeadlessTest : public ::testing::Test {
protected:
  TempDir home;
  std::filesystem::path run = home.Path() / "run";

  void SetUp() override {
    std::filesystem::create_directories(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(home.Path() / "config" / "kestrel");
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.Path() / "config").c_str(), 1);
    setenv("HOME", home.Path().c_str(), 1);
    ASSERT_EQ(chdir(home.Path().c_str()), 0);
  }

  void WriteSettings(const std::string& text) {
    std::FILE* f = std::fopen((home.Path() / "config" / "kestrel" / "Kestrel.dat").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }

  // Root of the machine, not only of a user namespace (where tests run for other users).
  static bool MachineRoot() {
    return geteuid() == 0 && ReadText("/proc/self/uid_map").find("4294967295") != std::string::npos;
  }

  // The program's command line, its standard error sent to the log beside its standard output.
  static std::vector<std::string> WithErrors(std::vector<std::string> args) {
    args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    return args;
  }

  [[nodiscard]] bool Said(const std::filesystem::path& log, const std::string& text) const {
    return ReadText(log).find(text) != std::string::npos;
  }
};

TEST_F(HeadlessTest, OneInstancePerUserItsRequestsSwitchItAndACancelEndsItInOrder) {
  const auto log = home.Path() / "first.log";
  ChildProcess first({KESTREL_PROGRAM, "--headless"}, log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);

  // A second start finds the first and ends at once, leaving it running.
  ChildProcess second({KESTREL_PROGRAM, "--headless"}, home.Path() / "second.log");
  EXPECT_EQ(second.Wait(std::chrono::seconds(20)), 0);
  EXPECT_EQ(kill(first.Pid(), 0), 0);
  // Changing settings under a running instance is refused rather than lost.
  ChildProcess third({KESTREL_PROGRAM, "--headless", "--set", "Server.Enable=1"}, home.Path() / "third.log");
  EXPECT_EQ(third.Wait(std::chrono::seconds(20)), 1);

  // The running instance's server and client are switched from outside, as its tray menu does.
  const auto count = [&](const std::string& text) {
    const std::string all = ReadText(log);
    std::size_t n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  };
  ChildProcess serverOn({KESTREL_PROGRAM, "--server", "on"}, home.Path() / "switch.log");
  EXPECT_EQ(serverOn.Wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(WaitUntil([&] { return Said(log, "Server on: broadcasting"); })) << ReadText(log);
  ChildProcess clientOff({KESTREL_PROGRAM, "--client", "off", "--server", "off"}, home.Path() / "switch.log");
  EXPECT_EQ(clientOff.Wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(WaitUntil([&] { return Said(log, "Server off"); })) << ReadText(log);
  ChildProcess clientOn({KESTREL_PROGRAM, "--client", "on"}, home.Path() / "switch.log");
  EXPECT_EQ(clientOn.Wait(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(WaitUntil([&] { return count("Client: listening") == 2; })) << ReadText(log);
  const std::string dat = ReadText(home.Path() / "config" / "kestrel" / "Kestrel.dat");
  EXPECT_NE(dat.find("Enable=0"), std::string::npos) << "the server's choice is stored\n" << dat;

  ASSERT_TRUE(SendToRunningInstance(kCancelRequest));
  EXPECT_EQ(first.Wait(std::chrono::seconds(20)), 0);
  ChildProcess nobody({KESTREL_PROGRAM, "--server", "on"}, home.Path() / "switch.log");
  EXPECT_EQ(nobody.Wait(std::chrono::seconds(20)), 1) << "no Kestrel runs to switch";
  EXPECT_TRUE(Said(log, "Kestrel ended"));

  // Its lock went with it: the next start runs.
  ChildProcess again({KESTREL_PROGRAM, "--headless"}, home.Path() / "again.log");
  EXPECT_TRUE(WaitUntil([&] { return Said(home.Path() / "again.log", "Client: listening"); }));
  EXPECT_EQ(again.Terminate(), 0);

  // A lock that cannot be opened is no running instance: the program says why and ends.
  std::filesystem::remove(run / "KestrelApp.lock");
  std::filesystem::create_directory(run / "KestrelApp.lock");
  for (const char* option : {"--headless", "--status"}) {
    const auto lockLog = home.Path() / "lock.log";
    ChildProcess k(WithErrors({KESTREL_PROGRAM, option}), lockLog);
    EXPECT_EQ(k.Wait(std::chrono::seconds(20)), 1) << option;
    EXPECT_TRUE(Said(lockLog, "cannot open the instance lock")) << ReadText(lockLog);
    EXPECT_TRUE(Said(lockLog, "Is a directory")) << ReadText(lockLog);
  }
}

TEST_F(HeadlessTest, TerminationSignalsEndItInOrder) {
  for (int sig : {SIGTERM, SIGINT}) {
    const auto log = home.Path() / ("signal" + std::to_string(sig) + ".log");
    ChildProcess k({KESTREL_PROGRAM, "--headless"}, log);
    ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);
    kill(k.Pid(), sig);
    EXPECT_EQ(k.Wait(std::chrono::seconds(20)), 0);
    EXPECT_TRUE(Said(log, sig == SIGTERM ? "Ending on SIGTERM" : "Ending on SIGINT"));
    EXPECT_TRUE(Said(log, "Kestrel ended"));
  }
  // A script switches the client off and stops the program at once: both requests wait in the
  // queue together while the client, still waiting for a server, is switched off. The end runs
  // after the switch, in order.
  const auto log = home.Path() / "together.log";
  ChildProcess k({KESTREL_PROGRAM, "--headless"}, log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);
  ASSERT_TRUE(WaitUntil([] { // the socket listens soon after the client does
    return SendToRunningInstance(std::string(kClientOffRequest) + "\n" + std::string(kCancelRequest));
  }));
  EXPECT_EQ(k.Wait(std::chrono::seconds(20)), 0) << ReadText(log);
  EXPECT_TRUE(Said(log, "Kestrel ended")) << ReadText(log);
}

// Without a sequencer the provider starts but cannot make its ports: Kestrel does not wait out
// the provider's time for it, and says why, with what to do, among its notices.
TEST_F(HeadlessTest, AProviderThatEndsWithoutItsPortsIsNotWaitedForAndSaysWhy) {
  if (std::filesystem::exists("/dev/snd/seq")) GTEST_SKIP() << "this machine has a sequencer";
  const auto log = home.Path() / "noseq.log";
  const std::string path =
      std::filesystem::path(KESTREL_PORTS_PROGRAM).parent_path().string() + ":" + std::getenv("PATH");
  ChildProcess k(WithErrors({"env", "PATH=" + path, KESTREL_PROGRAM, "--headless"}), log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);
  EXPECT_TRUE(Said(log, "The Kestrel ports are not available: kestrel-ports ended without making its ports "
                        "(kestrel-ports: no ALSA sequencer"))
      << ReadText(log);
  // The advice comes once the event loop runs, which may be after the client reports.
  EXPECT_TRUE(WaitUntil([&] { return Said(log, "sudo modprobe snd-seq"); })) << ReadText(log);
  EXPECT_EQ(k.Terminate(), 0);
}

TEST_F(HeadlessTest, TellsOnceWhetherItsEngineThreadsRunInRealTime) {
  const auto log = home.Path() / "realtime.log";
  {
    ChildProcess k({KESTREL_PROGRAM, "--headless"}, log);
    ASSERT_TRUE(WaitUntil([&] { return Said(log, "Engine threads "); })) << ReadText(log);
    if (MachineRoot()) {
      EXPECT_TRUE(Said(log, "Engine threads run in real time (direct, priority 10)\n")) << ReadText(log);
    }
    // Engines started later are not told again.
    ChildProcess serverOn({KESTREL_PROGRAM, "--server", "on"}, home.Path() / "switch.log");
    EXPECT_EQ(serverOn.Wait(std::chrono::seconds(20)), 0);
    EXPECT_TRUE(WaitUntil([&] { return Said(log, "Server on: broadcasting"); })) << ReadText(log);
    EXPECT_EQ(k.Terminate(), 0);
    const std::string all = ReadText(log);
    EXPECT_EQ(all.find("Engine threads "), all.rfind("Engine threads ")) << all;
  }
  // The switch benchmarks use to compare: nothing asked, and the report says so.
  ChildProcess k({"env", "KESTREL_NO_REALTIME=1", KESTREL_PROGRAM, "--headless"}, log);
  EXPECT_TRUE(WaitUntil([&] {
    return Said(log, "Engine threads do not run in real time (not asked (KESTREL_NO_REALTIME))\n");
  })) << ReadText(log);
  EXPECT_EQ(k.Terminate(), 0);
}

TEST_F(HeadlessTest, ATakenPortIsReportedAndNonsenseSettingsAreNamed) {
  WriteSettings("[Client]\nUDPPort=8811\nHostIP=banana\n[Server]\nUDPPort=99999\nEnable=yes\n");
  // Another program holds the client's port.
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8811);
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's own type pun
  ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  const auto log = home.Path() / "taken.log";
  ChildProcess k({KESTREL_PROGRAM, "--headless"}, log);
  EXPECT_TRUE(WaitUntil([&] { return Said(log, "Error: Port 8811 already in use"); })) << ReadText(log);
  EXPECT_TRUE(Said(log, "UDPPort=99999"));
  EXPECT_TRUE(Said(log, "HostIP=banana"));
  EXPECT_TRUE(Said(log, "Enable=yes"));
  EXPECT_EQ(k.Terminate(), 0);
  close(holder);
}

TEST_F(HeadlessTest, CommandLineSettingsAreCheckedAndWritten) {
  ChildProcess bad({KESTREL_PROGRAM, "--set", "Client.UDPPort=99999"}, home.Path() / "bad.log");
  EXPECT_EQ(bad.Wait(), 2);
  ChildProcess wrong(WithErrors({KESTREL_PROGRAM, "--server", "maybe"}), home.Path() / "wrong.log");
  EXPECT_EQ(wrong.Wait(), 2);
  EXPECT_TRUE(Said(home.Path() / "wrong.log", "--server takes on or off"));
  for (const char* seconds : {"0", "x", "86401"}) {
    ChildProcess stats(WithErrors({KESTREL_PROGRAM, "--headless", "--stats", seconds}), home.Path() / "stats.log");
    EXPECT_EQ(stats.Wait(), 2) << seconds;
    EXPECT_TRUE(Said(home.Path() / "stats.log", "--stats takes a number of seconds")) << seconds;
  }
  ChildProcess statsAlone(WithErrors({KESTREL_PROGRAM, "--stats", "5"}), home.Path() / "alone.log");
  EXPECT_EQ(statsAlone.Wait(), 2);
  EXPECT_TRUE(Said(home.Path() / "alone.log", "--stats works with --headless"));
  ChildProcess version({KESTREL_PROGRAM, "--version"}, home.Path() / "version.log");
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_TRUE(Said(home.Path() / "version.log", "kestrel 1.1.6\n"));
  ChildProcess help({KESTREL_PROGRAM, "--help"}, home.Path() / "help.log");
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"--minimized", "--headless", "--dump", "--set", "--devices", "--server", "--client",
                             "--status", "--stats", "--version", "Client.UDPPort"}) {
    EXPECT_TRUE(Said(home.Path() / "help.log", option)) << option;
  }
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  // Arguments it does not know are named and passed over; the rest is done.
  ChildProcess unknown(WithErrors({KESTREL_PROGRAM, "--bogus", "stray", "--set", "Client.UDPPort=9002"}),
                       home.Path() / "unknown.log");
  EXPECT_EQ(unknown.Wait(), 0);
  EXPECT_TRUE(Said(home.Path() / "unknown.log", "ignoring the unknown argument --bogus"));
  EXPECT_TRUE(Said(home.Path() / "unknown.log", "ignoring the unknown argument stray"));
  EXPECT_NE(ReadText(home.Path() / "config" / "kestrel" / "Kestrel.dat").find("UDPPort=9002"), std::string::npos);
  ChildProcess good({KESTREL_PROGRAM, "--set", "Client.UDPPort=9001", "--set", "Client.To2=Synth A"},
                    home.Path() / "good.log");
  EXPECT_EQ(good.Wait(), 0);
  const std::string dat = ReadText(home.Path() / "config" / "kestrel" / "Kestrel.dat");
  EXPECT_NE(dat.find("UDPPort=9001"), std::string::npos) << dat;
  EXPECT_NE(dat.find("To2=Synth A"), std::string::npos) << dat;
}

// A flood a technician would want to know about: malformed records, broken and abandoned long
// messages, oversized datagrams and a second server, sent over loopback to a real headless
// Kestrel. kestrel --status, asked from outside, answers with JSON that holds the counts, and the
// --stats lines tell the same, with what grew.
TEST_F(HeadlessTest, CountsWhatAFloodMakesItDropAndTellsStatusAndStats) {
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  constexpr std::uint16_t kPort = 8821;
  // Row 1 plays into nothing: records for port 1 are taken and gathered, as with a device.
  WriteSettings("[Client]\nUDPPort=8821\nPort1=1\nTo1=--Not Connected--\n");
  const auto log = home.Path() / "stats.log";
  ChildProcess k({KESTREL_PROGRAM, "--headless", "--stats", "1"}, log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "| changed: none\n"); })) << ReadText(log);

  const auto status = [&] {
    const auto out = home.Path() / "status.json";
    ChildProcess ask({KESTREL_PROGRAM, "--status"}, out);
    EXPECT_EQ(ask.Wait(std::chrono::seconds(20)), 0);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(ReadText(out)), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << ReadText(out);
    return doc.object();
  };
  const auto count = [](const QJsonObject& s, const char* key) { return s["counters"].toObject()[key].toInteger(-1); };

  const QJsonObject quiet = status();
  EXPECT_EQ(quiet["connection"].toString(), "connecting");
  EXPECT_TRUE(quiet["server_heard"].isNull());
  for (const DropName& name : kDropNames) { EXPECT_EQ(count(quiet, std::string(name.key).c_str()), 0) << name.key; }

  using test::Datagram;
  using test::ForgedFragment;
  test::LoopbackSender server("127.0.0.1");
  test::LoopbackSender other("127.0.0.2");
  const test::Bytes alive = test::KeepAliveBytes();
  ASSERT_TRUE(server.Send(kPort, alive));
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: connected"); })) << ReadText(log);

  // Three datagrams that end in a record of no known type: the rest of each is lost.
  EventRecord unknown;
  unknown.type = 77;
  unknown.port = 1;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(server.Send(kPort, Datagram({test::NoteOnBytes(1, 60), test::ForgedRecord(unknown, 4)})));
  }
  // Message 100 skips a fragment: broken once, however many of its fragments follow. It stays
  // pending (a fragment repeated does not end it), so it expires as well.
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(false, 1, 100, 0, 1440, 480)));
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(false, 1, 100, 2, 1440, 480)));
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(true, 1, 100, 3, 1440, 480)));
  // Message 200's first fragment never came.
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(true, 1, 200, 1, 960, 480)));
  // Message 300 announces no bytes at all: malformed, and its next fragment is not counted again.
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(false, 1, 300, 0, 0, 480)));
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(true, 1, 300, 1, 0, 480)));
  // Message 400 stops after its first fragment and expires 5 s later.
  ASSERT_TRUE(server.Send(kPort, ForgedFragment(false, 1, 400, 0, 2000, 480)));
  // Two datagrams larger than any client takes.
  const test::Bytes huge(12000, std::byte{0x55});
  ASSERT_TRUE(server.Send(kPort, huge));
  ASSERT_TRUE(server.Send(kPort, huge));
  // A second server on the same port while the first is alive.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(other.Send(kPort, Datagram({alive, test::NoteOnBytes(2, 61)})));

  // The server keeps itself alive; the long messages left pending expire meanwhile.
  QJsonObject s;
  ASSERT_TRUE(WaitUntil(
      [&] {
        EXPECT_TRUE(server.Send(kPort, alive));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        s = status();
        return count(s, "long-expired") >= 2;
      },
      std::chrono::seconds(30)))
      << QJsonDocument(s).toJson().toStdString();
  EXPECT_EQ(s["connection"].toString(), "connected");
  EXPECT_EQ(s["server_heard"].toString(), "127.0.0.1");
  EXPECT_TRUE(s["client_enabled"].toBool());
  EXPECT_FALSE(s["server_enabled"].toBool());
  EXPECT_EQ(count(s, "malformed"), 4);
  EXPECT_EQ(count(s, "fragment-breaks"), 2);
  EXPECT_EQ(count(s, "long-expired"), 2);
  EXPECT_EQ(count(s, "oversized"), 2);
  EXPECT_EQ(count(s, "second-server"), 5);
  for (const char* none : {"queue-full", "capture-overruns", "send-incomplete", "output-refused"}) {
    EXPECT_EQ(count(s, none), 0) << none;
  }
  EXPECT_EQ(s["counters"].toObject().size(), static_cast<qsizetype>(kDropKinds));
  EXPECT_FALSE(s["counters_since"].toString().isEmpty());
  bool clientThread = false;
  for (const auto& thread : s["realtime"].toObject()["threads"].toArray()) {
    const QJsonObject t = thread.toObject();
    if (t["name"].toString() != "kestrel-client") continue;
    clientThread = true;
    EXPECT_TRUE(t["realtime"].isBool());
    EXPECT_TRUE(t["realtime"].toBool() ? t["priority"].toInt() > 0 : !t["reason"].toString().isEmpty());
  }
  EXPECT_TRUE(clientThread) << QJsonDocument(s).toJson().toStdString();
  EXPECT_FALSE(s["realtime"].toObject()["summary"].toString().isEmpty());

  // The lines: every counter in the same order each period, and what grew named where it grew.
  const std::string expected = "malformed=4 fragment-breaks=2 long-expired=2";
  ASSERT_TRUE(WaitUntil([&] { return Said(log, expected); })) << ReadText(log);
  EXPECT_EQ(k.Terminate(), 0);
  std::istringstream lines(ReadText(log));
  std::vector<std::string> stats;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("stats: ", 0) == 0) stats.push_back(line);
  }
  ASSERT_GE(stats.size(), 3U);
  std::string keys = "stats:";
  for (const DropName& name : kDropNames) keys += " " + std::string(name.key) + "=";
  std::map<std::string, std::uint64_t> grown;
  for (const std::string& line : stats) {
    std::string shape;
    std::istringstream fields(line.substr(0, line.find(" | changed:")));
    for (std::string field; fields >> field;) {
      const auto eq = field.find('=');
      shape += (shape.empty() ? "" : " ") + (eq == std::string::npos ? field : field.substr(0, eq + 1));
    }
    EXPECT_EQ(shape, keys) << line;
    std::istringstream changes(line.substr(line.find(" | changed:") + 11));
    for (std::string change; changes >> change;) {
      if (change == "none") continue;
      const auto plus = change.rfind('+');
      ASSERT_NE(plus, std::string::npos) << line;
      grown[change.substr(0, plus)] += std::stoull(change.substr(plus + 1));
    }
  }
  // What grew, summed over the periods, is what was counted: no period lost or told twice.
  EXPECT_EQ(grown["malformed"], 4U);
  EXPECT_EQ(grown["fragment-breaks"], 2U);
  EXPECT_EQ(grown["long-expired"], 2U);
  EXPECT_EQ(grown["oversized"], 2U);
  EXPECT_EQ(grown["second-server"], 5U);
  EXPECT_EQ(grown.count("queue-full"), 0U);
  EXPECT_NE(stats.back().find(expected), std::string::npos) << stats.back();

  // With no instance left, --status says so.
  const auto none = home.Path() / "none.log";
  ChildProcess nobody(WithErrors({KESTREL_PROGRAM, "--status"}), none);
  EXPECT_EQ(nobody.Wait(std::chrono::seconds(20)), 1);
  EXPECT_TRUE(Said(none, "no Kestrel runs")) << ReadText(none);
}

// Under a supervisor, standard error may be a pipe that nobody reads. Fragments out of sequence
// make the client beep, which is a line for standard error: with that pipe full, the notes that
// follow still play (the dump shows them), since no engine thread ever writes there, and the
// window's thread writes only what the pipe takes without waiting.
TEST_F(HeadlessTest, AStandardErrorThatNobodyReadsNeverStopsTheMusic) {
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  constexpr std::uint16_t kPort = 8822;
  WriteSettings("[Client]\nUDPPort=8822\nPort1=1\nTo1=--Not Connected--\n");
  std::array<int, 2> errors{};
  ASSERT_EQ(pipe(errors.data()), 0);
  fcntl(errors[1], F_SETPIPE_SZ, 4096);
  const auto log = home.Path() / "unread.log";
  ChildProcess k(
      {"sh", "-c", "exec \"$0\" \"$@\" 2>&" + std::to_string(errors[1]), KESTREL_PROGRAM, "--headless", "--dump"}, log);
  ASSERT_TRUE(WaitUntil([&] { return Said(log, "Client: listening"); })) << ReadText(log);
  // The pipe filled up to the brim by now, through a description of its own: the program's own
  // stays blocking.
  const int filling = open(("/proc/self/fd/" + std::to_string(errors[1])).c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(filling, 0);
  const std::array<char, 64> filler{};
  while (write(filling, filler.data(), filler.size()) > 0) {}
  close(filling);
  close(errors[1]);
  test::LoopbackSender server("127.0.0.1");
  // Keep-alives until it connects: "listening" may be said a moment before the socket is open.
  ASSERT_TRUE(WaitUntil([&] {
    server.Send(kPort, test::KeepAliveBytes());
    return Said(log, "Client: connected");
  })) << ReadText(log);
  // Messages that skip fragments, each a beep's worth, for longer than the beeps' once-a-second
  // limit.
  for (std::int32_t id = 1; id <= 12; ++id) {
    ASSERT_TRUE(server.Send(kPort, test::ForgedFragment(false, 1, id, 0, 4000, 480)));
    ASSERT_TRUE(server.Send(kPort, test::ForgedFragment(false, 1, id, 3, 4000, 480)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (std::uint8_t note = 70; note < 73; ++note) ASSERT_TRUE(server.Send(kPort, test::NoteOnBytes(1, note)));
  EXPECT_TRUE(WaitUntil([&] { return Said(log, "Note on (72,100)"); }, std::chrono::seconds(10))) << ReadText(log);
  // Someone reads at last: the program ends in order.
  fcntl(errors[0], F_SETFL, O_NONBLOCK);
  std::array<char, 4096> sink{};
  while (read(errors[0], sink.data(), sink.size()) > 0) {}
  EXPECT_EQ(k.Terminate(), 0);
  close(errors[0]);
}

// Without XDG_RUNTIME_DIR the programs keep their files in /tmp/kestrel-<uid>. Here another user
// made that folder first; each program is run with a /tmp of its own (a private mount), so the
// machine's /tmp is never touched.
TEST_F(HeadlessTest, EveryProgramRefusesARuntimeFolderAnotherUserMade) {
  // Another user's uid must exist for chown.
  if (!MachineRoot()) { GTEST_SKIP() << "a private /tmp and another user's folder need the machine's root"; }
  const std::string folder = "/tmp/kestrel-" + std::to_string(getuid());
  // The machine's /tmp stays reachable at /mnt inside, for a build that lives below /tmp.
  if (!std::filesystem::is_directory("/mnt")) GTEST_SKIP() << "no /mnt to keep the machine's /tmp at";
  const std::string script = "mount --bind /tmp /mnt && mount -t tmpfs kestrel-test /tmp && mkdir -m 0700 " + folder +
                             " && chown 65534 " + folder +
                             " || exit 99; unset XDG_RUNTIME_DIR; \"$@\" 2>&1; status=$?; echo \"left: $(ls -A " +
                             folder + ")\"; exit $status";
  const std::vector<std::vector<std::string>> kPrograms = {
      {KESTREL_PROGRAM, "--headless"}, {KESTREL_PORTS_PROGRAM}, {QUILLON_PROGRAM, "/u"}};
  for (const auto& program : kPrograms) {
    std::vector<std::string> command{"unshare", "--mount", "sh", "-c", script, "sh"};
    command.insert(command.end(), program.begin(), program.end());
    if (command[6].rfind("/tmp/", 0) == 0) command[6].replace(0, 5, "/mnt/");
    const auto log = home.Path() / "refused.log";
    ChildProcess child(command, log);
    EXPECT_EQ(child.Wait(std::chrono::seconds(20)), 1) << program[0] << "\n" << ReadText(log);
    EXPECT_TRUE(Said(log, "the runtime folder " + folder + " belongs to another user (uid 65534)"))
        << program[0] << "\n"
        << ReadText(log);
    EXPECT_TRUE(Said(log, "left: \n")) << program[0] << " made something in it\n" << ReadText(log);
  }
}

// The texts in the status answer come from elsewhere (a refusal's words from the system or the
// bus, in whatever encoding): whatever bytes they hold, the answer stays JSON a parser takes, and
// text that was UTF-8 arrives as it was.
TEST(StatusJsonText, AnyBytesGiveAStringAParserTakesBack) {
  std::string every;
  for (int c = 1; c < 0x80; ++c) every += static_cast<char>(c);
  const std::vector<std::pair<std::string, QString>> cases = {
      {every, QString::fromLatin1(every.c_str())},
      {"quote \" backslash \\ end", QStringLiteral("quote \" backslash \\ end")},
      {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8E\xB9", QStringLiteral("Gr\u00FC\u00DF \u20AC \U0001F3B9")},
      {std::string("nul\0inside", 10), QStringLiteral("nul") + QChar(0) + QStringLiteral("inside")},
      {"latin-1 \xE9t\xE9", QStringLiteral("latin-1 \uFFFDt\uFFFD")},
      {"cut \xE2\x82", QStringLiteral("cut \uFFFD\uFFFD")},
      {"lone \x80 and \xFF", QStringLiteral("lone \uFFFD and \uFFFD")},
      {"overlong \xC0\xAF", QStringLiteral("overlong \uFFFD\uFFFD")},
      {"surrogate \xED\xA0\x80", QStringLiteral("surrogate \uFFFD\uFFFD\uFFFD")},
  };
  for (const auto& [text, expected] : cases) {
    const std::string json = "{\"s\":" + JsonString(text) + "}";
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << ": " << json;
    EXPECT_EQ(doc.object()["s"].toString(), expected) << json;
  }
}

} // namespace
} // namespace kestrel
