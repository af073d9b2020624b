// SPDX-License-Identifier: GPL-3.0-or-later
// kestrel-ports: the virtual MIDI ports "Kestrel Port1".."Kestrel PortN".
//
// One sequencer client named "Kestrel" with N duplex ports (N from the "MaxDevs" key of section
// "Driver" in its settings file, 1 to 8, default 8). Every event written to port n is handed on at
// once and unchanged to port n's readers, so whatever a program plays into a port reaches
// Kestrel's capture. It announces itself with a pid file in the user's runtime folder and ends
// cleanly on SIGTERM, SIGINT or SIGHUP; the ports and the pid file go with it.

#include "config/settings.hpp"
#include "driverctl/provider_control.hpp"
#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/flow_control.hpp"
#include "platform/paths.hpp"
#include "platform/realtime.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using kestrel::midi::ReaderBudget;
using kestrel::midi::SeqHandle;

// The largest pools the sequencer grants: room for bursts and long system-exclusive dumps.
constexpr std::size_t kPoolEvents = 2000;

bool IsSystemNotice(int type) { return type >= SND_SEQ_EVENT_CLIENT_START && type <= SND_SEQ_EVENT_PORT_UNSUBSCRIBED; }

// A write lock on the whole file, which the system drops when the process ends however it ends.
// Others ask the system who holds it (RunningProvider) without taking it even for a moment. A
// record lock also goes when any descriptor of the file is closed here: nothing in this program
// opens the file a second time.
bool LockExclusive(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return fcntl(fd, F_SETLK, &whole) == 0;
}

// Holds the pid file locked for the provider's life: a second provider finds it locked and leaves.
class PidFile {
public:
  explicit PidFile(std::string path) : path_(std::move(path)) {}
  ~PidFile() {
    if (fd_ >= 0) {
      unlink(path_.c_str());
      close(fd_);
    }
  }
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;

  // false when another provider holds it (or it cannot be made).
  bool Lock(std::string& error) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd_ < 0) {
        error = "cannot open " + path_ + ": " + std::generic_category().message(errno);
        return false;
      }
      if (!LockExclusive(fd_)) {
        error = "another kestrel-ports is running";
        close(fd_);
        fd_ = -1;
        return false;
      }
      // A provider that just ended removed the file we opened: lock the one that is there now.
      struct stat held {};
      struct stat named {};
      if (fstat(fd_, &held) == 0 && lstat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
          held.st_dev == named.st_dev) {
        // A file left by a provider that was killed still names it: empty until our ports exist.
        if (ftruncate(fd_, 0) == 0) return true;
        error = "cannot write " + path_ + ": " + std::generic_category().message(errno);
        return false;
      }
      close(fd_);
      fd_ = -1;
    }
    error = "cannot lock " + path_;
    return false;
  }
  // Written once the ports exist, so a pid in the file means the ports are there.
  void Announce() {
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
      std::fprintf(stderr, "kestrel-ports: cannot write %s: %s\n", path_.c_str(),
                   std::generic_category().message(errno).c_str());
    }
  }

private:
  std::string path_;
  int fd_ = -1;
};

// A trouble that may come back with every event (an input overrun, a write the sequencer refuses):
// told when first met, then as a count at most once per `every`, so that a flood costs the log a
// line now and then instead of one per event.
class RepeatedNotice {
public:
  using Clock = std::chrono::steady_clock;

  RepeatedNotice(const char* first, const char* again, Clock::duration every)
      : first_(first), again_(again), every_(every) {}

  // `detail` is a static text (snd_strerror's), or empty.
  void Happened(const char* detail) {
    detail_ = detail;
    const auto now = Clock::now();
    if (told_ && now - lastTold_ < every_) {
      ++pending_;
      return;
    }
    std::fprintf(stderr, "kestrel-ports: %s%s%s\n", first_, *detail != '\0' ? ": " : "", detail);
    told_ = true;
    lastTold_ = now;
  }

  // Tells the count that is due (any waiting when `final`). Returns the time until the next is due,
  // or Clock::duration::max() when none waits.
  Clock::duration ReportDue(Clock::time_point now, bool final) {
    if (pending_ == 0) return Clock::duration::max();
    if (!final && now - lastTold_ < every_) return lastTold_ + every_ - now;
    std::fprintf(stderr, "kestrel-ports: %s %ld more times%s%s\n", again_, pending_, *detail_ != '\0' ? ", last: " : "",
                 detail_);
    pending_ = 0;
    lastTold_ = now;
    return Clock::duration::max();
  }

private:
  const char* first_;
  const char* again_;
  const char* detail_ = "";
  Clock::duration every_;
  long pending_ = 0;
  bool told_ = false;
  Clock::time_point lastTold_{};
};

// What the log says about readers that fall behind. The log lives in the runtime folder, often in
// memory, and a reader that takes nothing would cost it a line per event: a stall is told when it
// begins and when it ends, with the count of events refused meanwhile, and refusals outside a
// stall as a count at most once per kReportEvery. Input overruns and writes the sequencer refuses
// outright are told the same way.
class ReaderNotices {
public:
  static constexpr std::chrono::seconds kReportEvery{10};

  explicit ReaderNotices(int count) : ports_(static_cast<std::size_t>(count)) {}

  // Port numbers as the sequencer's, from 0; the log names them as their users do, from 1.
  void Stalled(int port) {
    Port& p = ports_[static_cast<std::size_t>(port)];
    if (p.stalled) return;
    Report(port, p);
    p.stalled = true;
    std::fprintf(stderr, "kestrel-ports: a reader of port %d takes no events\n", port + 1);
  }
  void Flowing(int port) {
    Port& p = ports_[static_cast<std::size_t>(port)];
    if (!p.stalled) return;
    p.stalled = false;
    std::fprintf(stderr, "kestrel-ports: the readers of port %d take events again; %ld were refused meanwhile\n",
                 port + 1, p.refused);
    p.refused = 0;
  }
  void Refused(int port) {
    if (port >= 0 && static_cast<std::size_t>(port) < ports_.size()) ++ports_[static_cast<std::size_t>(port)].refused;
  }
  void Overrun() { overruns_.Happened(""); }
  void NotForwarded(int error) { notForwarded_.Happened(snd_strerror(error)); }

  // Writes the counts that are due (all of them when `final`). Returns the milliseconds until the
  // next is due, -1 when none waits.
  int ReportDue(bool final) {
    const auto now = std::chrono::steady_clock::now();
    const bool due = final || now - lastReport_ >= kReportEvery;
    auto wait = std::min(overruns_.ReportDue(now, final), notForwarded_.ReportDue(now, final));
    for (std::size_t port = 0; port < ports_.size(); ++port) {
      Port& p = ports_[port];
      if (p.refused == 0 || (p.stalled && !final)) continue;
      if (due) {
        Report(static_cast<int>(port), p);
      } else {
        wait = std::min(wait, lastReport_ + kReportEvery - now);
      }
    }
    if (wait == std::chrono::steady_clock::duration::max()) return -1;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
  }

private:
  struct Port {
    bool stalled = false;
    long refused = 0;
  };

  void Report(int port, Port& p) {
    if (p.refused == 0) return;
    std::fprintf(stderr, "kestrel-ports: a reader of port %d refused %ld events%s\n", port + 1, p.refused,
                 p.stalled ? " and still takes none" : "");
    p.refused = 0;
    lastReport_ = std::chrono::steady_clock::now();
  }

  std::vector<Port> ports_;
  std::chrono::steady_clock::time_point lastReport_{};
  RepeatedNotice overruns_{"input overrun, events were lost", "input overrun", kReportEvery};
  RepeatedNotice notForwarded_{"cannot forward an event", "could not forward an event", kReportEvery};
};

// Hands on what has been gathered; what a reader refuses is dropped and counted for its port.
void Forward(snd_seq_t* seq, ReaderNotices& notices) {
  kestrel::midi::DrainOutputDroppingRefused(
      seq,
      [](void* context, const snd_seq_event_t& ev) { static_cast<ReaderNotices*>(context)->Refused(ev.source.port); },
      &notices);
}

int Run() {
  std::string error;
  if (!kestrel::RuntimeDirectory(&error)) {
    std::fprintf(stderr, "kestrel-ports: %s\n", error.c_str());
    return 1;
  }
  const int count = kestrel::driverctl::ReadMaxDevs(kestrel::driverctl::ProviderSettingsPath());
  PidFile pidFile(kestrel::driverctl::ProviderPidPath().string());
  if (!pidFile.Lock(error)) {
    std::fprintf(stderr, "kestrel-ports: %s\n", error.c_str());
    return 1;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr); // NOLINT(concurrency-mt-unsafe): before any thread exists
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

  SeqHandle seq = kestrel::midi::OpenSequencer(kestrel::driverctl::kProviderClientName, &error);
  if (!seq) {
    std::fprintf(stderr, "kestrel-ports: %s\n", error.c_str());
    return 1;
  }
  snd_seq_set_client_pool_input(seq.get(), kPoolEvents);
  snd_seq_set_client_pool_output(seq.get(), kPoolEvents);
  // Room for the largest event the pool can hold, or such an event would block the queue for ever.
  snd_seq_set_input_buffer_size(seq.get(), kPoolEvents * sizeof(snd_seq_event_t) + 4096);
  snd_seq_nonblock(seq.get(), 1);

  // Port n of the sequencer carries "Kestrel Portn"; the sequencer numbers them from 0.
  std::vector<int> portOf(static_cast<std::size_t>(count) + 1, -1);
  for (int n = 1; n <= count; ++n) {
    const int port = snd_seq_create_simple_port(
        seq.get(), kestrel::midi::VirtualPortName(n).c_str(),
        SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE |
            SND_SEQ_PORT_CAP_DUPLEX,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE | SND_SEQ_PORT_TYPE_PORT);
    if (port < 0) {
      std::fprintf(stderr, "kestrel-ports: cannot create port %d: %s\n", n, snd_strerror(port));
      return 1;
    }
    portOf[static_cast<std::size_t>(n)] = port;
  }
  ReaderNotices notices(count);
  std::vector<ReaderBudget> budgets;
  budgets.reserve(static_cast<std::size_t>(count));
  for (int port = 0; port < count; ++port) budgets.emplace_back(seq.get(), port);
  pidFile.Announce();
  std::fprintf(stderr, "kestrel-ports: client %d, %d ports\n", snd_seq_client_id(seq.get()), count);

  kestrel::AskForRealtime("kestrel-ports");

  const int seqFds = snd_seq_poll_descriptors_count(seq.get(), POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(seqFds) + 1);
  fds[0] = {signalFd, POLLIN, 0};
  snd_seq_poll_descriptors(seq.get(), fds.data() + 1, static_cast<unsigned>(seqFds), POLLIN);

  for (int timeout = -1;; timeout = notices.ReportDue(false)) {
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) { break; }
    if ((fds[0].revents & POLLIN) != 0) { break; }
    for (;;) {
      snd_seq_event_t* ev = nullptr;
      const int r = snd_seq_event_input(seq.get(), &ev);
      if (r == -EAGAIN || r == -EWOULDBLOCK) { break; }
      if (r == -ENOSPC) {
        notices.Overrun();
        continue;
      }
      if (r < 0 || ev == nullptr) { break; }
      if (IsSystemNotice(ev->type) || ev->dest.client != snd_seq_client_id(seq.get()) || ev->dest.port >= count) {
        continue;
      }
      // Wait until the port's readers have room: an event that does not fit would cost a reader
      // everything waiting in its queue.
      const unsigned char port = ev->dest.port;
      const std::size_t cells = kestrel::midi::EventCells(*ev);
      if (!budgets[port].Covers(cells)) Forward(seq.get(), notices);
      if (budgets[port].Reserve(cells)) {
        notices.Flowing(port);
      } else {
        notices.Stalled(port);
      }
      // Hand the event on from the port it was written to, to that port's readers.
      snd_seq_ev_set_source(ev, port);
      snd_seq_ev_set_subs(ev);
      snd_seq_ev_set_direct(ev);
      // Events read together leave together: a burst costs one write instead of one per event.
      int w = snd_seq_event_output_buffer(seq.get(), ev);
      if (w == -EAGAIN) { // the buffer is full
        Forward(seq.get(), notices);
        w = snd_seq_event_output_buffer(seq.get(), ev);
      }
      if (w < 0) { // larger than the whole buffer
        Forward(seq.get(), notices);
        w = snd_seq_event_output_direct(seq.get(), ev);
        if (w < 0) notices.NotForwarded(w);
      }
      // Back to poll once alsa-lib's buffer is empty, instead of a read that would only say so.
      if (snd_seq_event_input_pending(seq.get(), 0) == 0) { break; }
    }
    Forward(seq.get(), notices);
  }
  notices.ReportDue(true);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  namespace dc = kestrel::driverctl;
  const std::string_view option = argc > 1 ? argv[1] : "";
  std::string error;
  if (argc == 2 && option == "--install-autostart") {
    if (!dc::InstallProviderAutostart(kestrel::ProgramPath(), &error)) {
      std::fprintf(stderr, "kestrel-ports: %s\n", error.c_str());
      return 1;
    }
    std::printf("kestrel-ports starts with your desktop session: %s\n", dc::ProviderAutostartPath().c_str());
    return 0;
  }
  if (argc == 2 && option == "--install-unit") {
    if (!dc::InstallProviderUnit(kestrel::ProgramPath(), &error)) {
      std::fprintf(stderr, "kestrel-ports: %s\n", error.c_str());
      return 1;
    }
    std::printf("Installed and enabled %s\nStart it now with: systemctl --user daemon-reload && systemctl --user "
                "start kestrel-ports\n",
                dc::ProviderUnitPath().c_str());
    return 0;
  }
  if (argc > 1) {
    std::printf("Usage: kestrel-ports [--install-autostart | --install-unit]\n"
                "Makes the virtual MIDI ports \"Kestrel Port1\"..\"Kestrel PortN\" until stopped (SIGTERM).\n"
                "N is \"MaxDevs\" in section [Driver] of %s (1 to 8, default 8).\n"
                "  --install-autostart  start it with your desktop session (XDG autostart entry)\n"
                "  --install-unit       start it as a systemd user service\n",
                dc::ProviderSettingsPath().c_str());
    return option == "--help" ? 0 : 2;
  }
  return Run();
}
