// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time scheduling: the limits RTKit is asked with, the report over recorded outcomes, and
// real requests: granted directly to root, and for a user without the rights, through a
// stand-in RTKit on a private bus, refused by a bus without RTKit, or by no bus at all.

#include "platform/realtime.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if KESTREL_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace kestrel {
namespace {

using test::ChildProcess;
using test::TempDir;
using test::WaitUntil;

// ---- what RTKit is asked with -----------------------------------------------------------------

TEST(RtKitRequest, RtTimeLimitComesDownToRtKitsMaximumButNeverGoesUp) {
  constexpr std::int64_t kMax = 200000;
  // Unlimited, as a session starts: the hard limit comes down to RTKit's, the soft one below it,
  // so that a thread that runs too long gets SIGXCPU (and leaves real time) before SIGKILL.
  rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  rlimit limit = RtTimeLimitFor(unlimited, kMax);
  EXPECT_EQ(limit.rlim_cur, static_cast<rlim_t>(kMax / 2));
  EXPECT_EQ(limit.rlim_max, static_cast<rlim_t>(kMax));
  // A soft limit already below stays; so does a lower hard limit, which no user could raise again.
  limit = RtTimeLimitFor(rlimit{50000, RLIM_INFINITY}, kMax);
  EXPECT_EQ(limit.rlim_cur, 50000U);
  EXPECT_EQ(limit.rlim_max, static_cast<rlim_t>(kMax));
  limit = RtTimeLimitFor(rlimit{RLIM_INFINITY, 100000}, kMax);
  EXPECT_EQ(limit.rlim_cur, 50000U);
  EXPECT_EQ(limit.rlim_max, 100000U);
  // Set alike (prlimit --rttime): the soft one goes below; unlimited soft (no watchdog) stays.
  limit = SoftRtTimeBelowHard(rlimit{80000, 80000});
  EXPECT_EQ(limit.rlim_cur, 40000U);
  EXPECT_EQ(limit.rlim_max, 80000U);
  limit = SoftRtTimeBelowHard(rlimit{RLIM_INFINITY, 80000});
  EXPECT_EQ(limit.rlim_cur, RLIM_INFINITY);
  // The soft limit never ends above the hard one.
  limit = RtTimeLimitFor(rlimit{300000, 300000}, kMax);
  EXPECT_LE(limit.rlim_cur, limit.rlim_max);
  EXPECT_EQ(limit.rlim_max, static_cast<rlim_t>(kMax));
}

TEST(RtKitRequest, PriorityIsClampedToRtKitsMaximum) {
  EXPECT_EQ(RtKitPriority(kRealtimePriority, 20), kRealtimePriority);
  EXPECT_EQ(RtKitPriority(kRealtimePriority, 4), 4);
  EXPECT_EQ(RtKitPriority(kRealtimePriority, 0), 0);
  EXPECT_EQ(RtKitPriority(kRealtimePriority, -1), 0);
}

// ---- the report -------------------------------------------------------------------------------

TEST(RealtimeLedgerTest, ReportTellsWhatEveryThreadGot) {
  {
    const RealtimeLedger ledger;
    EXPECT_EQ(ledger.Summary().Text(), "No engine thread has started yet");
  }
  {
    RealtimeLedger ledger;
    ledger.Record("kestrel-server", {RealtimeWay::Direct, 10, {}});
    ledger.Record("kestrel-client", {RealtimeWay::Direct, 10, {}});
    EXPECT_EQ(ledger.Summary().headline, "Engine threads run in real time");
    EXPECT_EQ(ledger.Summary().details, " (direct, priority 10)");
    ledger.Record("kestrel-paced", {RealtimeWay::RtKit, 4, {}});
    EXPECT_EQ(ledger.Summary().Text(), "Engine threads run in real time (direct and RTKit, priorities 4 to 10)");
  }
  {
    RealtimeLedger ledger;
    ledger.Record("kestrel-capture", {RealtimeWay::RtKit, 10, {}});
    EXPECT_EQ(ledger.Summary().Text(), "Engine threads run in real time (RTKit, priority 10)");
  }
  {
    // The same refusal for every thread is told once.
    RealtimeLedger ledger;
    ledger.Record("kestrel-server", {RealtimeWay::None, 0, "RTKit refused: no"});
    ledger.Record("kestrel-client", {RealtimeWay::None, 0, "RTKit refused: no"});
    EXPECT_EQ(ledger.Summary().Text(), "Engine threads do not run in real time (RTKit refused: no)");
    ledger.Record("kestrel-paced", {RealtimeWay::None, 0, "no system bus"});
    EXPECT_EQ(ledger.Summary().details, " (RTKit refused: no; no system bus)");
  }
  {
    // Some threads in real time and some not: the others are named with their reasons.
    RealtimeLedger ledger;
    ledger.Record("kestrel-server", {RealtimeWay::Direct, 10, {}});
    ledger.Record("kestrel-client", {RealtimeWay::None, 0, "RTKit did not answer within 500 ms"});
    EXPECT_EQ(ledger.Summary().Text(),
              "Not every engine thread runs in real time (kestrel-client: RTKit did not answer within 500 ms)");
  }
}

TEST(RealtimeLedgerTest, AThreadStartedAgainReplacesItsEarlierOutcome) {
  RealtimeLedger ledger;
  ledger.Record("kestrel-client", {RealtimeWay::None, 0, "RTKit did not answer within 500 ms"});
  ledger.Record("kestrel-server", {RealtimeWay::RtKit, 10, {}});
  ledger.Record("kestrel-client", {RealtimeWay::RtKit, 10, {}});
  EXPECT_EQ(ledger.Summary().Text(), "Engine threads run in real time (RTKit, priority 10)");
  ASSERT_TRUE(ledger.Of("kestrel-client").has_value());
  EXPECT_EQ(ledger.Of("kestrel-client")->way, RealtimeWay::RtKit);
  EXPECT_FALSE(ledger.Of("kestrel-paced").has_value());
}

TEST(RealtimeLedgerTest, ThreadsRecordingAtOnceWhileTheReportIsReadLoseNothing) {
  constexpr int kThreads = 8;
  RealtimeLedger ledger;
  std::barrier start(kThreads + 1);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      for (int round = 0; round < 200; ++round) {
        ledger.Record("thread-" + std::to_string(i), {RealtimeWay::Direct, 1 + (round % 10), {}});
      }
    });
  }
  start.arrive_and_wait();
  for (int round = 0; round < 200; ++round) EXPECT_FALSE(ledger.Summary().headline.empty());
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    const auto outcome = ledger.Of("thread-" + std::to_string(i));
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->priority, 10); // the last round's
  }
}

// ---- real requests ----------------------------------------------------------------------------

// As the kernel has it: pthread_getschedparam answers what the thread last set through it.
int PolicyOfThisThread(int* priority) {
  sched_param param{};
  sched_getparam(0, &param);
  *priority = param.sched_priority;
  return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

TEST(RealtimeRequest, RootIsGrantedSchedFifoDirectly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  int policy = -1;
  int priority = -1;
  RealtimeOutcome outcome;
  std::thread asking([&] {
    outcome = AskForRealtime("test-direct");
    policy = PolicyOfThisThread(&priority);
  });
  asking.join();
  EXPECT_EQ(outcome.way, RealtimeWay::Direct) << outcome.reason;
  EXPECT_EQ(policy, SCHED_FIFO);
  EXPECT_EQ(priority, kRealtimePriority);
  ASSERT_TRUE(ProcessRealtimeLedger().Of("test-direct").has_value());
  EXPECT_EQ(ProcessRealtimeLedger().Of("test-direct")->way, RealtimeWay::Direct);
  EXPECT_NE(RealtimeReport().find("(direct, priority 10)"), std::string::npos) << RealtimeReport();
}

// Runs `body` in a child process; returns its pid.
pid_t Forked(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    std::_Exit(0);
  }
  return pid;
}

// Where real time came through RTKit, RLIMIT_RTTIME's soft and hard limits are both its maximum:
// a thread that runs that long without blocking would be killed, and the program with it. Here,
// in a child process under a small limit (soft and hard alike, as RTKit leaves them), a thread
// granted SCHED_FIFO runs 300 ms without blocking: the soft limit was kept below the hard one, so
// SIGXCPU comes first, and the thread runs on under the normal policy. The window's tick learns
// its name once, and the ledger says it left.
TEST(RealtimeRequest, AThreadThatRunsTooLongWithoutBlockingLeavesRealTimeInsteadOfDying) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  const auto result = dir.Path() / "left";
  const pid_t pid = Forked([&] {
    const rlimit tight{40000, 40000};
    setrlimit(RLIMIT_RTTIME, &tight);
    RealtimeOutcome outcome;
    int policy = -1;
    int priority = -1;
    std::thread spinning([&] {
      outcome = AskForRealtime("test-spinner");
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
      while (std::chrono::steady_clock::now() < until) {}
      policy = PolicyOfThisThread(&priority);
    });
    spinning.join();
    rlimit after{};
    getrlimit(RLIMIT_RTTIME, &after);
    const std::vector<std::string> left = TakeThreadsThatLeftRealtime();
    const std::vector<std::string> again = TakeThreadsThatLeftRealtime();
    std::ofstream out(result);
    out << static_cast<int>(outcome.way) << ' ' << policy << ' ' << after.rlim_cur << ' ' << after.rlim_max << ' '
        << left.size() << ' ' << (left.empty() ? "-" : left[0]) << ' ' << again.size() << '\n'
        << ProcessRealtimeLedger().Of("test-spinner")->reason << '\n';
  });
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the child did not end by itself: " << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit status");
  std::ifstream in(result);
  int way = -1;
  int policy = -1;
  rlim_t soft = 0;
  rlim_t hard = 0;
  std::size_t left = 0;
  std::string name;
  std::size_t again = 0;
  in >> way >> policy >> soft >> hard >> left >> name >> again;
  in.ignore();
  std::string reason;
  std::getline(in, reason);
  EXPECT_EQ(way, static_cast<int>(RealtimeWay::Direct));
  EXPECT_EQ(policy, SCHED_OTHER);
  EXPECT_EQ(hard, 40000U);
  EXPECT_EQ(soft, 20000U) << "back below the hard limit, where the kernel had raised it with the signal";
  EXPECT_EQ(left, 1U);
  EXPECT_EQ(name, "test-spinner");
  EXPECT_EQ(again, 0U) << "said once";
  EXPECT_EQ(reason, "left real time: it ran 20 ms without blocking");
}

// A thread that some flood keeps busy rests between slices of work, however long it goes on.
TEST(RealtimeRequest, ABusyThreadRestsOnceASliceAndNotBeforeIt) {
  std::thread busy([] {
    EXPECT_FALSE(RestWhenBusy()) << "the first look only starts the slice";
    const auto start = std::chrono::steady_clock::now();
    int rests = 0;
    // A loaded machine takes the processor away now and then: go on until four rests, or long
    // past the time they need.
    while (rests < 4 && std::chrono::steady_clock::now() - start < 500 * kBusySlice) {
      if (RestWhenBusy()) ++rests;
    }
    EXPECT_EQ(rests, 4);
    // Never more than one rest a slice.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * kBusySlice);
    // A thread that blocks by itself now and then never rests.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    rests = 0;
    for (int i = 0; i < 10; ++i) {
      const auto slice = std::chrono::steady_clock::now();
      while (std::chrono::steady_clock::now() - slice < kBusySlice / 2) {
        if (RestWhenBusy()) ++rests;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // A slow or loaded machine (a sanitizer build) may stretch a half slice past a whole one now
    // and then, when it takes the processor away between the loop's look at the clock and the call.
    EXPECT_LE(rests, 2);
  });
  busy.join();
}

// What a thread of a user without real-time rights got, as a child process reports it.
struct Asked {
  RealtimeOutcome outcome;
  std::string report; // the child's, which holds what this process recorded before the fork too
  int policy = -1;
  int priority = -1;
  rlimit rtTime{};
  double seconds = 0;
};

// In a child process turned into the user "nobody" (no RLIMIT_RTPRIO, no capabilities), with the
// system bus at `busAddress`, a new thread asks for real time; the child writes what came of it.
Asked AskAsNobody(const std::string& busAddress, const std::filesystem::path& dir) {
  const auto result = dir / "asked";
  const pid_t pid = Forked([&] {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_RTPRIO, &none);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
      std::_Exit(2);
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1); // NOLINT(concurrency-mt-unsafe): one thread yet
    Asked asked;
    std::thread asking([&] {
      const auto start = std::chrono::steady_clock::now();
      asked.outcome = AskForRealtime("test-nobody");
      asked.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      asked.policy = PolicyOfThisThread(&asked.priority);
    });
    asking.join();
    getrlimit(RLIMIT_RTTIME, &asked.rtTime);
    std::ofstream out(result);
    out << asked.policy << ' ' << asked.priority << ' ' << asked.rtTime.rlim_cur << ' ' << asked.rtTime.rlim_max << ' '
        << asked.seconds << ' ' << static_cast<int>(asked.outcome.way) << ' ' << asked.outcome.priority << '\n'
        << asked.outcome.reason << '\n'
        << RealtimeReport() << '\n';
  });
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the asking child failed: " << status;
  Asked asked;
  std::ifstream in(result);
  int way = -1;
  in >> asked.policy >> asked.priority >> asked.rtTime.rlim_cur >> asked.rtTime.rlim_max >> asked.seconds >> way >>
      asked.outcome.priority;
  asked.outcome.way = static_cast<RealtimeWay>(way);
  in.ignore();
  std::getline(in, asked.outcome.reason);
  std::getline(in, asked.report);
  return asked;
}

class RefusedRealtime : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to become a user without real-time rights";
    // The child process, as "nobody", writes its result here.
    chmod(dir.Path().c_str(), 0777);
  }
  TempDir dir;
};

TEST_F(RefusedRealtime, WithoutASystemBusTheThreadRunsNormallyAndTheReportSaysWhy) {
  const Asked asked = AskAsNobody("unix:path=" + (dir.Path() / "no-bus").string(), dir.Path());
  EXPECT_EQ(asked.policy, SCHED_OTHER);
  EXPECT_EQ(asked.outcome.way, RealtimeWay::None);
  EXPECT_EQ(asked.outcome.reason,
            std::string("SCHED_FIFO refused (Operation not permitted), ") +
                (RtKitBuiltIn() ? "no system bus: No such file or directory" : "built without RTKit"));
  EXPECT_NE(asked.report.find(asked.outcome.reason), std::string::npos) << asked.report;
}

TEST_F(RefusedRealtime, ABusThatNeverAnswersHoldsTheThreadOnlyBriefly) {
  if (!RtKitBuiltIn()) GTEST_SKIP() << "built without RTKit";
  // A socket that takes connections into its backlog and never says a word.
  const auto path = dir.Path() / "silent-bus";
  const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  chmod(path.c_str(), 0777);
  const Asked asked = AskAsNobody("unix:path=" + path.string(), dir.Path());
  close(silent);
  EXPECT_EQ(asked.policy, SCHED_OTHER);
  EXPECT_NE(asked.outcome.reason.find("RTKit did not answer within 500 ms"), std::string::npos) << asked.outcome.reason;
  // A generous bound: what matters is that the wait ends, not its exact length.
  EXPECT_LT(asked.seconds, 5.0);
}

#if KESTREL_HAVE_SDBUS

// A private bus any user may use, run by dbus-daemon, with RTKit's name free for a stand-in.
class PrivateBus {
public:
  explicit PrivateBus(const std::filesystem::path& dir) : address_("unix:path=" + (dir / "bus").string()) {
    std::ofstream(dir / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <listen>"
        << address_
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--config-file=" + (dir / "bus.conf").string(), "--nofork", "--nopidfile", "--nosyslog"});
    ready_ = WaitUntil([&] { return std::filesystem::exists(dir / "bus"); }, std::chrono::seconds(10));
  }
  [[nodiscard]] bool Ready() const noexcept { return ready_; }
  [[nodiscard]] const std::string& Address() const noexcept { return address_; }

private:
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
  bool ready_ = false;
};

bool HaveDbusDaemon() { return std::filesystem::exists("/usr/bin/dbus-daemon"); }

// A stand-in for RTKit: its two limits, and MakeThreadRealtime checked as RTKit checks it (the
// caller's RLIMIT_RTTIME, its priority, the thread being the caller's) and granted with
// sched_setscheduler, as root. Or silent: it never answers the request; or refusing everything.
struct StandIn {
  std::int32_t maxRealtimePriority = 8;
  std::int64_t rtTimeUSecMax = 150000;
  bool answers = true;
  const char* refusal = nullptr; // refuses every request with these words
};

int OnMakeThreadRealtime(sd_bus_message* call, void* user, sd_bus_error* error) {
  const auto& standIn = *static_cast<const StandIn*>(user);
  std::uint64_t tid = 0;
  std::uint32_t priority = 0;
  int r = sd_bus_message_read(call, "tu", &tid, &priority);
  if (r < 0) return r;
  if (!standIn.answers) return 1;
  if (standIn.refusal != nullptr) return sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED, standIn.refusal);
  sd_bus_creds* creds = nullptr;
  pid_t pid = 0;
  r = sd_bus_query_sender_creds(call, SD_BUS_CREDS_PID, &creds);
  if (r >= 0) r = sd_bus_creds_get_pid(creds, &pid);
  sd_bus_creds_unref(creds);
  if (r < 0) return r;
  rlimit limit{};
  prlimit(pid, RLIMIT_RTTIME, nullptr, &limit);
  if (limit.rlim_max > static_cast<rlim_t>(standIn.rtTimeUSecMax)) {
    return sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED, "RLIMIT_RTTIME above RTTimeUSecMax");
  }
  if (static_cast<std::int32_t>(priority) > standIn.maxRealtimePriority || priority == 0) {
    return sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED, "priority out of range");
  }
  if (!std::filesystem::exists("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid))) {
    return sd_bus_error_set_const(error, SD_BUS_ERROR_ACCESS_DENIED, "not a thread of the caller");
  }
  sched_param param{};
  param.sched_priority = static_cast<int>(priority);
  if (sched_setscheduler(static_cast<pid_t>(tid), SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0) {
    return sd_bus_error_set_errno(error, errno);
  }
  return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable kStandInTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("MaxRealtimePriority", "i", nullptr, offsetof(StandIn, maxRealtimePriority),
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("RTTimeUSecMax", "x", nullptr, offsetof(StandIn, rtTimeUSecMax), SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("MakeThreadRealtime", "tu", "", OnMakeThreadRealtime, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};

// Serves the stand-in on `bus` in a child process until it is killed; `ready` appears when its
// name is taken.
pid_t ServeStandIn(const std::string& bus, StandIn standIn, const std::filesystem::path& ready) {
  return Forked([&] {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1); // NOLINT(concurrency-mt-unsafe): a child of one thread
    sd_bus* connection = nullptr;
    if (sd_bus_open_system(&connection) < 0 ||
        sd_bus_add_object_vtable(connection, nullptr, "/org/freedesktop/RealtimeKit1", "org.freedesktop.RealtimeKit1",
                                 kStandInTable, &standIn) < 0 ||
        sd_bus_request_name(connection, "org.freedesktop.RealtimeKit1", 0) < 0) {
      std::_Exit(3);
    }
    std::ofstream(ready) << "ready\n";
    for (;;) {
      if (sd_bus_process(connection, nullptr) > 0) continue;
      sd_bus_wait(connection, UINT64_MAX);
    }
  });
}

class RtKitStandIn : public RefusedRealtime {
protected:
  void SetUp() override {
    RefusedRealtime::SetUp();
    if (IsSkipped()) return;
    if (!HaveDbusDaemon()) GTEST_SKIP() << "needs dbus-daemon";
    bus = std::make_unique<PrivateBus>(dir.Path());
    ASSERT_TRUE(bus->Ready());
  }
  void TearDown() override {
    if (standIn_ > 0) {
      kill(standIn_, SIGKILL);
      waitpid(standIn_, nullptr, 0);
    }
  }
  void Serve(StandIn standIn) {
    const auto ready = dir.Path() / "stand-in-ready";
    standIn_ = ServeStandIn(bus->Address(), standIn, ready);
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(ready); }, std::chrono::seconds(10)));
  }
  std::unique_ptr<PrivateBus> bus;

private:
  pid_t standIn_ = -1;
};

TEST_F(RtKitStandIn, RefusedDirectlyTheThreadIsMadeRealtimeByRtKitWithinItsLimits) {
  Serve({.maxRealtimePriority = 8, .rtTimeUSecMax = 150000, .answers = true});
  const Asked asked = AskAsNobody(bus->Address(), dir.Path());
  EXPECT_EQ(asked.outcome.way, RealtimeWay::RtKit) << asked.outcome.reason;
  EXPECT_EQ(asked.outcome.priority, 8);
  EXPECT_EQ(asked.policy, SCHED_RR);
  EXPECT_EQ(asked.priority, 8); // the wanted 10, clamped to the broker's maximum
  EXPECT_EQ(asked.rtTime.rlim_max, 150000U);
  EXPECT_EQ(asked.rtTime.rlim_cur, 75000U);
  EXPECT_EQ(asked.report.rfind("Engine threads run in real time (", 0), 0U) << asked.report;
  EXPECT_NE(asked.report.find("RTKit"), std::string::npos) << asked.report;
}

TEST_F(RtKitStandIn, ABusWithoutRtKitRefusesAndTheReportNamesIt) {
  const Asked asked = AskAsNobody(bus->Address(), dir.Path());
  EXPECT_EQ(asked.policy, SCHED_OTHER);
  EXPECT_NE(asked.outcome.reason.find("RTKit unavailable: "), std::string::npos) << asked.outcome.reason;
  EXPECT_NE(asked.outcome.reason.find("org.freedesktop.RealtimeKit1"), std::string::npos) << asked.outcome.reason;
}

TEST_F(RtKitStandIn, AnRtKitThatNeverAnswersTheRequestHoldsTheThreadOnlyBriefly) {
  Serve({.maxRealtimePriority = 20, .rtTimeUSecMax = 200000, .answers = false});
  const Asked asked = AskAsNobody(bus->Address(), dir.Path());
  EXPECT_EQ(asked.policy, SCHED_OTHER);
  EXPECT_NE(asked.outcome.reason.find("RTKit did not answer within 500 ms"), std::string::npos) << asked.outcome.reason;
  EXPECT_LT(asked.seconds, 5.0);
}

TEST_F(RtKitStandIn, RtKitsRefusalIsNamedInTheReport) {
  Serve({.maxRealtimePriority = 20, .rtTimeUSecMax = 200000, .answers = true, .refusal = "too many requests"});
  const Asked asked = AskAsNobody(bus->Address(), dir.Path());
  EXPECT_EQ(asked.policy, SCHED_OTHER);
  EXPECT_EQ(asked.outcome.way, RealtimeWay::None);
  EXPECT_EQ(asked.outcome.reason, "SCHED_FIFO refused (Operation not permitted), RTKit refused: too many requests");
  EXPECT_NE(asked.report.find(asked.outcome.reason), std::string::npos) << asked.report;
}

#endif

} // namespace
} // namespace kestrel
