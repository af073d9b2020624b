// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/realtime.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef KESTREL_HAVE_SDBUS
#define KESTREL_HAVE_SDBUS 0
#endif
#if KESTREL_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace kestrel {

namespace {

std::string ErrorText(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "error " + std::to_string(error);
}

// Joins the distinct `texts` with `separator`, in their first order.
std::string JoinDistinct(const std::vector<std::string>& texts, std::string_view separator) {
  std::vector<std::string> seen;
  std::string joined;
  for (const auto& text : texts) {
    if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
    if (!seen.empty()) joined += separator;
    joined += text;
    seen.push_back(text);
  }
  return joined;
}

bool SwitchedOff() {
  // Read by each thread as it starts; nothing in the program sets it.
  const char* value = std::getenv("KESTREL_NO_REALTIME"); // NOLINT(concurrency-mt-unsafe)
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

#if KESTREL_HAVE_SDBUS

using Clock = std::chrono::steady_clock;

// How long a thread may wait for RTKit in all: connecting, reading its limits and the request.
constexpr auto kRtKitWait = std::chrono::milliseconds(500);
constexpr const char* kRtKitService = "org.freedesktop.RealtimeKit1";
constexpr const char* kRtKitObject = "/org/freedesktop/RealtimeKit1";

std::uint64_t MicrosecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<std::uint64_t>(left) : 0;
}

// A call to RTKit on a connection of the calling thread's own (sd-bus connections are not to be
// shared between threads). Every wait, the connection's start included, ends at the deadline;
// sd_bus_call alone would wait for the bus's authentication without a limit of ours.
class RtKitLine {
public:
  RtKitLine() : deadline_(Clock::now() + kRtKitWait) {}
  ~RtKitLine() {
    // Not sd_bus_flush_close_unref: a bus that stopped answering would hold the thread there.
    if (bus_ != nullptr) sd_bus_close_unref(bus_);
  }
  RtKitLine(const RtKitLine&) = delete;
  RtKitLine& operator=(const RtKitLine&) = delete;

  // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the usual socket).
  bool Open() {
    const int r = sd_bus_open_system(&bus_);
    if (r < 0) error_ = "no system bus: " + ErrorText(-r);
    return r >= 0;
  }

  // Reads one of RTKit's properties of D-Bus type `type` ('i' or 'x').
  template <class T>
  std::optional<T> Property(const char* name, char type) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &call, kRtKitService, kRtKitObject, "org.freedesktop.DBus.Properties",
                                           "Get");
    if (r >= 0) r = sd_bus_message_append(call, "ss", kRtKitService, name);
    sd_bus_message* reply = Call(call, r, "RTKit unavailable: ");
    if (reply == nullptr) return std::nullopt;
    T value{};
    const char signature[2] = {type, '\0'};
    r = sd_bus_message_enter_container(reply, 'v', signature);
    if (r > 0) r = sd_bus_message_read_basic(reply, type, &value);
    sd_bus_message_unref(reply);
    if (r <= 0) {
      error_ = std::string("RTKit unavailable: unexpected ") + name;
      return std::nullopt;
    }
    return value;
  }

  bool MakeThreadRealtime(pid_t tid, int priority) {
    sd_bus_message* call = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_, &call, kRtKitService, kRtKitObject, kRtKitService, "MakeThreadRealtime");
    if (r >= 0)
      r = sd_bus_message_append(call, "tu", static_cast<std::uint64_t>(tid), static_cast<std::uint32_t>(priority));
    sd_bus_message* reply = Call(call, r, "RTKit refused: ");
    if (reply == nullptr) return false;
    sd_bus_message_unref(reply);
    return true;
  }

  [[nodiscard]] const std::string& Error() const noexcept { return error_; }

private:
  struct Waiting {
    sd_bus_message* reply = nullptr;
  };

  static int OnReply(sd_bus_message* reply, void* user, sd_bus_error* /*error*/) {
    static_cast<Waiting*>(user)->reply = sd_bus_message_ref(reply);
    return 0;
  }

  // Sends `call` (built with result `built`) and returns its reply, or nullptr with error_ set,
  // prefixed with `refusal` when RTKit or the bus answered with an error.
  sd_bus_message* Call(sd_bus_message* call, int built, const char* refusal) {
    Waiting waiting;
    sd_bus_slot* slot = nullptr;
    int r = built;
    if (r >= 0)
      r = sd_bus_call_async(bus_, &slot, call, &RtKitLine::OnReply, &waiting, MicrosecondsLeft(deadline_) + 1);
    sd_bus_message_unref(call);
    while (r >= 0 && waiting.reply == nullptr) {
      r = sd_bus_process(bus_, nullptr);
      if (r != 0) continue;
      const std::uint64_t left = MicrosecondsLeft(deadline_);
      r = left == 0 ? -ETIMEDOUT : sd_bus_wait(bus_, left);
    }
    sd_bus_slot_unref(slot);
    if (waiting.reply == nullptr) {
      error_ = r == -ETIMEDOUT ? "RTKit did not answer within 500 ms" : "system bus: " + ErrorText(-r);
      return nullptr;
    }
    if (sd_bus_message_is_method_error(waiting.reply, nullptr) != 0) {
      const sd_bus_error* e = sd_bus_message_get_error(waiting.reply);
      if (sd_bus_message_is_method_error(waiting.reply, SD_BUS_ERROR_NO_REPLY) != 0) {
        error_ = "RTKit did not answer within 500 ms"; // sd-bus's own time-out, ours
      } else {
        error_ = refusal;
        error_ += e != nullptr && e->message != nullptr ? e->message
                  : e != nullptr && e->name != nullptr  ? e->name
                                                        : "?";
      }
      sd_bus_message_unref(waiting.reply);
      return nullptr;
    }
    return waiting.reply;
  }

  Clock::time_point deadline_;
  sd_bus* bus_ = nullptr;
  std::string error_;
};

// Asks RTKit to make the calling thread real-time; returns the priority granted, or the reason.
RealtimeOutcome AskRtKit() {
  RtKitLine line;
  if (!line.Open()) return {RealtimeWay::None, 0, line.Error()};
  const auto maxPriority = line.Property<std::int32_t>("MaxRealtimePriority", 'i');
  if (!maxPriority) return {RealtimeWay::None, 0, line.Error()};
  const int priority = RtKitPriority(kRealtimePriority, *maxPriority);
  if (priority == 0) return {RealtimeWay::None, 0, "RTKit allows no real-time priority"};
  const auto rtTimeMax = line.Property<std::int64_t>("RTTimeUSecMax", 'x');
  if (!rtTimeMax) return {RealtimeWay::None, 0, line.Error()};
  if (*rtTimeMax <= 0) return {RealtimeWay::None, 0, "RTKit allows no real-time run time"};
  // The limit holds for the whole process; threads asking at once set the same value.
  rlimit limit{};
  getrlimit(RLIMIT_RTTIME, &limit);
  limit = RtTimeLimitFor(limit, *rtTimeMax);
  if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
    return {RealtimeWay::None, 0, "cannot limit RLIMIT_RTTIME for RTKit: " + ErrorText(errno)};
  }
  if (!line.MakeThreadRealtime(gettid(), priority)) return {RealtimeWay::None, 0, line.Error()};
  return {RealtimeWay::RtKit, priority, {}};
}

#else

RealtimeOutcome AskRtKit() { return {RealtimeWay::None, 0, "built without RTKit"}; }

#endif

// ---- threads that leave real time instead of being killed -------------------------------------

// A thread of ours that asked for real time, as the SIGXCPU handler sees it: it reads and writes
// atomics only. The names are written before the thread id, under RealtimeThreadsLock().
struct WatchedThread {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> left{false}; // set by the handler, taken by TakeThreadsThatLeftRealtime
  std::array<char, 16> name{};   // a thread's name has at most 15 characters
};
constexpr std::size_t kWatchedThreads = 16;
std::array<WatchedThread, kWatchedThreads> watched;
std::atomic<rlim_t> ourSoftRtTime{RLIM_INFINITY};

std::mutex& WatchedLock() {
  static std::mutex lock;
  return lock;
}

// Runs on the thread that ran its soft RLIMIT_RTTIME without blocking (the kernel signals that
// thread itself); async-signal-safe calls only.
void OnRtTimeSpent(int /*signal*/) {
  const int saved = errno;
  const auto self = static_cast<pid_t>(syscall(SYS_gettid));
  bool ours = false;
  for (WatchedThread& t : watched) {
    if (t.tid.load(std::memory_order_relaxed) != self) continue;
    t.left.store(true);
    ours = true;
  }
  if (!ours) {
    // Another thread, or another limit (RLIMIT_CPU sends SIGXCPU too): what the signal always did.
    std::signal(SIGXCPU, SIG_DFL);
    raise(SIGXCPU);
    errno = saved;
    return;
  }
  const sched_param normal{};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  // With the signal the kernel raised the soft limit by a second; back to ours, so that the next
  // thread that runs too long gets the signal again before the hard limit.
  const rlim_t soft = ourSoftRtTime.load();
  rlimit limit{};
  if (soft != RLIM_INFINITY && getrlimit(RLIMIT_RTTIME, &limit) == 0 && limit.rlim_cur != soft) {
    limit.rlim_cur = std::min(soft, limit.rlim_max);
    setrlimit(RLIMIT_RTTIME, &limit);
  }
  errno = saved;
}

// Before the calling thread asks for real time: the handler in place, the thread known to it.
void WatchThisThread(std::string_view thread) noexcept {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = OnRtTimeSpent;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGXCPU, &action, nullptr);
  });
  const std::lock_guard guard(WatchedLock());
  WatchedThread* slot = nullptr;
  for (WatchedThread& t : watched) {
    if (std::string_view(t.name.data()) == thread || (slot == nullptr && t.tid.load() == 0)) slot = &t;
    if (std::string_view(t.name.data()) == thread) break;
  }
  if (slot == nullptr) return; // more threads than ever run: this one is killed at the hard limit
  slot->tid.store(0);
  slot->name.fill('\0');
  thread.copy(slot->name.data(), std::min(thread.size(), slot->name.size() - 1));
  slot->left.store(false);
  slot->tid.store(gettid());
}

// Once the calling thread runs in real time: the soft limit below the hard one.
void KeepSoftRtTimeBelowHard() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return;
  const rlimit wanted = SoftRtTimeBelowHard(limit);
  if (wanted.rlim_cur != limit.rlim_cur) setrlimit(RLIMIT_RTTIME, &wanted);
  ourSoftRtTime.store(wanted.rlim_cur);
}

// ---- resting between slices -------------------------------------------------------------------

struct BusyWatch {
  std::chrono::steady_clock::time_point mark{};
  long switches = -1; // the thread's voluntary context switches at `mark`; -1: not looked at yet
};
thread_local BusyWatch busy;

long VoluntarySwitches() noexcept {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

RealtimeOutcome Ask() {
  if (SwitchedOff()) return {RealtimeWay::None, 0, "not asked (KESTREL_NO_REALTIME)"};
  sched_param param{};
  param.sched_priority = kRealtimePriority;
  const int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (refused == 0) return {RealtimeWay::Direct, kRealtimePriority, {}};
  RealtimeOutcome outcome = AskRtKit();
  if (outcome.way == RealtimeWay::None) {
    outcome.reason = "SCHED_FIFO refused (" + ErrorText(refused) + "), " + outcome.reason;
  }
  return outcome;
}

} // namespace

void RealtimeLedger::Record(std::string_view thread, RealtimeOutcome outcome) {
  const std::lock_guard guard(lock_);
  for (auto& [name, recorded] : threads_) {
    if (name == thread) {
      recorded = std::move(outcome);
      return;
    }
  }
  threads_.emplace_back(std::string(thread), std::move(outcome));
}

std::optional<RealtimeOutcome> RealtimeLedger::Of(std::string_view thread) const {
  const std::lock_guard guard(lock_);
  for (const auto& [name, recorded] : threads_) {
    if (name == thread) return recorded;
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, RealtimeOutcome>> RealtimeLedger::Threads() const {
  const std::lock_guard guard(lock_);
  return threads_;
}

RealtimeSummary RealtimeLedger::Summary() const {
  const std::lock_guard guard(lock_);
  if (threads_.empty()) return {"No engine thread has started yet", {}};
  std::vector<std::string> ways;
  int lowest = 0;
  int highest = 0;
  std::vector<std::string> reasons;
  std::vector<std::string> refusedThreads;
  for (const auto& [name, outcome] : threads_) {
    if (outcome.way == RealtimeWay::None) {
      reasons.push_back(outcome.reason);
      refusedThreads.push_back(name + ": " + outcome.reason);
      continue;
    }
    ways.emplace_back(outcome.way == RealtimeWay::Direct ? "direct" : "RTKit");
    lowest = lowest == 0 ? outcome.priority : std::min(lowest, outcome.priority);
    highest = std::max(highest, outcome.priority);
  }
  if (ways.empty()) return {"Engine threads do not run in real time", " (" + JoinDistinct(reasons, "; ") + ")"};
  if (!reasons.empty()) {
    return {"Not every engine thread runs in real time", " (" + JoinDistinct(refusedThreads, "; ") + ")"};
  }
  std::sort(ways.begin(), ways.end(), [](const std::string& a, const std::string& b) { return a > b; });
  const std::string priorities = lowest == highest
                                     ? "priority " + std::to_string(lowest)
                                     : "priorities " + std::to_string(lowest) + " to " + std::to_string(highest);
  return {"Engine threads run in real time", " (" + JoinDistinct(ways, " and ") + ", " + priorities + ")"};
}

RealtimeLedger& ProcessRealtimeLedger() noexcept {
  static RealtimeLedger ledger;
  return ledger;
}

std::string RealtimeReport() { return ProcessRealtimeLedger().Summary().Text(); }

RealtimeOutcome AskForRealtime(std::string_view thread) noexcept {
  WatchThisThread(thread);
  RealtimeOutcome outcome = Ask();
  if (outcome.way != RealtimeWay::None) KeepSoftRtTimeBelowHard();
  ProcessRealtimeLedger().Record(thread, outcome);
  return outcome;
}

rlimit RtTimeLimitFor(const rlimit& current, std::int64_t rtTimeUSecMax) noexcept {
  const rlim_t most = rtTimeUSecMax > 0 ? static_cast<rlim_t>(rtTimeUSecMax) : 0;
  rlimit limit{};
  limit.rlim_max = std::min(current.rlim_max, most);
  limit.rlim_cur = std::min(current.rlim_cur, limit.rlim_max);
  return SoftRtTimeBelowHard(limit);
}

bool RtKitBuiltIn() noexcept { return KESTREL_HAVE_SDBUS != 0; }

int RtKitPriority(int wanted, std::int32_t maxRealtimePriority) noexcept {
  return std::max(0, std::min(wanted, static_cast<int>(maxRealtimePriority)));
}

rlimit SoftRtTimeBelowHard(const rlimit& current) noexcept {
  rlimit limit = current;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_max == RLIM_INFINITY) return limit;
  limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max / 2);
  return limit;
}

bool RestWhenBusy(int wakeFd) noexcept {
  BusyWatch& w = busy;
  const auto now = std::chrono::steady_clock::now();
  if (w.switches >= 0 && now - w.mark < kBusySlice) return false;
  // A slice since the last look: unless the thread blocked meanwhile, it has run that long.
  const long switches = VoluntarySwitches();
  const bool blocked = switches != w.switches;
  w.mark = now;
  w.switches = switches;
  if (blocked) return false;
  pollfd wake{wakeFd, POLLIN, 0};
  poll(&wake, wakeFd >= 0 ? 1 : 0, kRestMs);
  // Woken at once (the wake descriptor was ready), it did not block: the next slice rests again.
  w.mark = std::chrono::steady_clock::now();
  w.switches = VoluntarySwitches();
  return true;
}

std::vector<std::string> TakeThreadsThatLeftRealtime() {
  std::vector<std::string> left;
  {
    const std::lock_guard guard(WatchedLock());
    for (WatchedThread& t : watched) {
      if (t.left.exchange(false)) left.emplace_back(t.name.data());
    }
  }
  const rlim_t soft = ourSoftRtTime.load();
  const std::string reason = soft == RLIM_INFINITY ? std::string("it ran too long without blocking")
                                                   : "it ran " + std::to_string(soft / 1000) + " ms without blocking";
  for (const std::string& name : left) {
    ProcessRealtimeLedger().Record(name, {RealtimeWay::None, 0, "left real time: " + reason});
  }
  return left;
}

} // namespace kestrel
