// kestrel-ports: the virtual MIDI ports "Kestrel Port1".."Kestrel PortN".
//
// One sequencer client named "Kestrel" with N duplex ports (N from the "MaxDevs" key of section
// "Driver" in its settings file, 1 to 8, default 8). Every event written to port n is handed on at
// once and unchanged to port n's readers, so whatever a program plays into a port reaches
// Kestrel's capture. It announces itself with a pid file in the user's runtime folder and ends
// cleanly on SIGTERM, SIGINT or SIGHUP; the ports and the pid file go with it.

#include "core/realtime.hpp"
#include "core/settings.hpp"
#include "driverctl/provider_control.hpp"
#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/flow_control.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
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
      fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd_ < 0) {
        error = "cannot open " + path_ + ": " + std::generic_category().message(errno);
        return false;
      }
      if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        error = "another kestrel-ports is running";
        close(fd_);
        fd_ = -1;
        return false;
      }
      // A provider that just ended removed the file we opened: lock the one that is there now.
      struct stat held {};
      struct stat named {};
      if (fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
          held.st_dev == named.st_dev) {
        return true;
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

// Hands on what has been gathered.
void Forward(snd_seq_t* seq) {
  const int dropped = kestrel::midi::DrainOutputDroppingRefused(seq);
  if (dropped > 0) std::fprintf(stderr, "kestrel-ports: a reader refused %d events\n", dropped);
}

int Run() {
  const int count = kestrel::driverctl::ReadMaxDevs(kestrel::driverctl::ProviderSettingsPath());
  PidFile pidFile(kestrel::driverctl::ProviderPidPath().string());
  std::string error;
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

  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) { break; }
    if ((fds[0].revents & POLLIN) != 0) { break; }
    for (;;) {
      snd_seq_event_t* ev = nullptr;
      const int r = snd_seq_event_input(seq.get(), &ev);
      if (r == -EAGAIN || r == -EWOULDBLOCK) { break; }
      if (r == -ENOSPC) {
        std::fprintf(stderr, "kestrel-ports: input overrun, events were lost\n");
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
      if (!budgets[port].Covers(cells)) Forward(seq.get());
      if (!budgets[port].Reserve(cells)) {
        std::fprintf(stderr, "kestrel-ports: a reader of port %d takes no events\n", port + 1);
      }
      // Hand the event on from the port it was written to, to that port's readers.
      snd_seq_ev_set_source(ev, port);
      snd_seq_ev_set_subs(ev);
      snd_seq_ev_set_direct(ev);
      // Events read together leave together: a burst costs one write instead of one per event.
      int w = snd_seq_event_output_buffer(seq.get(), ev);
      if (w == -EAGAIN) { // the buffer is full
        Forward(seq.get());
        w = snd_seq_event_output_buffer(seq.get(), ev);
      }
      if (w < 0) { // larger than the whole buffer
        Forward(seq.get());
        w = snd_seq_event_output_direct(seq.get(), ev);
        if (w < 0) std::fprintf(stderr, "kestrel-ports: cannot forward an event: %s\n", snd_strerror(w));
      }
      // Back to poll once alsa-lib's buffer is empty, instead of a read that would only say so.
      if (snd_seq_event_input_pending(seq.get(), 0) == 0) { break; }
    }
    Forward(seq.get());
  }
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
