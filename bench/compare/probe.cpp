// SPDX-License-Identifier: GPL-3.0-or-later
// The measuring client of scripts/bench-compare, on the ALSA sequencer.
//
//   compare_probe serve INPUTS       sender "ProbeSend" plus INPUTS ports to play into; commands on stdin
//   compare_probe udp-echo PORT      answers every datagram on PORT (the UDP floor's far side)
//   compare_probe udp-ping ADDR PORT COUNT FILE
//                                    36-byte ping-pong; prints half round trips (µs) and writes them
//
// serve writes numbered Note Ons (the number is spread over channel, key and velocity) straight
// into a destination and notes the moment of each write; what arrives at its input ports is
// stamped on the same clock (CLOCK_MONOTONIC) as soon as it is read. It answers each command with
// one line:
//
//   target CLIENT:PORT               where the following writes go
//   run even|burst COUNT RATE FILE [PORTS]
//                                    COUNT events at RATE a second, evenly or in bursts of 128;
//                                    waits until the first PORTS inputs (default 1) got them all
//                                    or nothing more arrives, then prints what came to each port, lost and out-of-order
//                                    events, the delay's percentiles (µs) and writes every delay to FILE ("-": none)
//   sysex SIZE                       one system-exclusive message of SIZE bytes (F0 ... F7) in
//                                    pieces of 256 bytes, each written when the reader has room;
//                                    prints whether input port 1 got it whole and when the last
//                                    byte came
//   quit
#include "midi/flow_control.hpp"
#include "platform/realtime.hpp"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBurst = 128;
constexpr int kPortsPerReader = 8; // one reading client (own queue, own thread) per 8 input ports
constexpr int kPool = 2000;        // the most cells the sequencer gives one client
constexpr std::size_t kSysexPiece = 256;
constexpr int kMaxNumber = 16 * 128 * 127;

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void SleepUntil(std::int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
  ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

// The probe's threads run under the policy Kestrel's own threads ask for, so both sides meet the
// same scheduler.
void AskForRealtime() { kestrel::AskForRealtime("probe"); }

using kestrel::midi::InputRoom;

struct Stats {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
};

Stats Percentiles(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const auto at = [&](double q) {
    const auto i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
  };
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.p999 = at(0.999);
  s.max = v.back();
  return s;
}

// What the input ports received, filled by the reading threads.
class Arrivals {
public:
  explicit Arrivals(int ports) : ports_(ports), sysex_(static_cast<std::size_t>(ports)) {}

  void Reset(int count) {
    std::lock_guard lock(mutex_);
    count_ = count;
    at_.assign(static_cast<std::size_t>(ports_) * static_cast<std::size_t>(count), 0);
    order_.assign(static_cast<std::size_t>(ports_), -1);
    disorder_.assign(static_cast<std::size_t>(ports_), 0);
    firstDisorder_.assign(static_cast<std::size_t>(ports_), std::string());
    worstDisplacement_ = 0;
    outOfOrder_ = duplicates_ = strays_ = 0;
    for (auto& s : sysex_) s.clear();
    sysexDone_ = 0;
    last_ = NowNs();
  }

  void Note(int port, int number, std::int64_t t) {
    std::lock_guard lock(mutex_);
    last_ = t;
    if (port >= ports_ || number >= count_) {
      ++strays_;
      return;
    }
    auto& slot =
        at_[static_cast<std::size_t>(port) * static_cast<std::size_t>(count_) + static_cast<std::size_t>(number)];
    if (slot != 0) ++duplicates_;
    slot = t;
    auto& prev = order_[static_cast<std::size_t>(port)];
    if (number < prev) {
      ++outOfOrder_;
      ++disorder_[static_cast<std::size_t>(port)];
      worstDisplacement_ = std::max(worstDisplacement_, prev - number);
      auto& first = firstDisorder_[static_cast<std::size_t>(port)];
      if (first.empty()) first = std::to_string(number) + "_after_" + std::to_string(prev);
    }
    prev = std::max(prev, number);
  }

  void Sysex(int port, const unsigned char* data, std::size_t n, std::int64_t t) {
    std::lock_guard lock(mutex_);
    last_ = t;
    if (port >= ports_) return;
    auto& s = sysex_[static_cast<std::size_t>(port)];
    s.insert(s.end(), data, data + n);
    if (port == 0 && n > 0 && data[n - 1] == 0xF7) sysexDone_ = t;
  }

  std::int64_t Last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

  // Waits until nothing has arrived for quietMs, or until every input got `want` events.
  void WaitQuiet(int quietMs, long want) {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::lock_guard lock(mutex_);
      if (want > 0) {
        long got = 0;
        for (auto t : at_) got += t != 0 ? 1 : 0;
        if (got >= want) return;
      }
      if (NowNs() - last_ > static_cast<std::int64_t>(quietMs) * 1000000LL) return;
    }
  }

  std::mutex mutex_;
  int ports_;
  int count_ = 0;
  std::vector<std::int64_t> at_;
  std::vector<int> order_;
  std::vector<long> disorder_;             // events that came after a later one, per port
  std::vector<std::string> firstDisorder_; // the first such: "N_after_M"
  int worstDisplacement_ = 0;
  long outOfOrder_ = 0, duplicates_ = 0, strays_ = 0;
  std::vector<std::vector<unsigned char>> sysex_;
  std::int64_t sysexDone_ = 0;
  std::int64_t last_ = 0;
};

struct Reader {
  snd_seq_t* seq = nullptr;
  int firstPort = 0; // index of its first port among all inputs
  std::vector<int> portIds;
};

void ReadLoop(Reader* r, Arrivals* arrivals, std::atomic<bool>* stop) {
  AskForRealtime();
  pollfd fds[4];
  const int nfds = snd_seq_poll_descriptors(r->seq, fds, 4, POLLIN);
  while (!stop->load()) {
    if (poll(fds, static_cast<nfds_t>(nfds), 200) <= 0) continue;
    snd_seq_event_t* ev = nullptr;
    int left = 0;
    do {
      left = snd_seq_event_input(r->seq, &ev);
      if (left < 0 || ev == nullptr) break;
      const std::int64_t t = NowNs();
      const int port = r->firstPort + ev->dest.port;
      if (ev->type == SND_SEQ_EVENT_NOTEON && ev->data.note.velocity > 0) {
        const int number = (ev->data.note.channel * 128 + ev->data.note.note) * 127 + ev->data.note.velocity - 1;
        arrivals->Note(port, number, t);
      } else if (ev->type == SND_SEQ_EVENT_SYSEX) {
        arrivals->Sysex(port, static_cast<const unsigned char*>(ev->data.ext.ptr), ev->data.ext.len, t);
      }
    } while (left > 0 || snd_seq_event_input_pending(r->seq, 0) > 0);
  }
}

class Probe {
public:
  explicit Probe(int inputs) : arrivals_(inputs), inputs_(inputs) {}

  bool Open() {
    if (snd_seq_open(&send_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return false;
    snd_seq_set_client_name(send_, "ProbeSend");
    sendPort_ = snd_seq_create_simple_port(send_, "ProbeSend Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_set_output_buffer_size(send_, 1 << 17);
    for (int first = 0; first < inputs_; first += kPortsPerReader) {
      Reader r;
      r.firstPort = first;
      if (snd_seq_open(&r.seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return false;
      const std::string client = "Probe" + std::string(1, static_cast<char>('A' + first / kPortsPerReader));
      snd_seq_set_client_name(r.seq, client.c_str());
      snd_seq_set_client_pool_input(r.seq, kPool);
      snd_seq_set_input_buffer_size(r.seq, 1 << 18);
      for (int i = first; i < std::min(inputs_, first + kPortsPerReader); ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s In%02d", client.c_str(), i + 1);
        r.portIds.push_back(snd_seq_create_simple_port(r.seq, name,
                                                       SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION));
        names_.emplace_back(name);
        addresses_.push_back(std::to_string(snd_seq_client_id(r.seq)) + ":" + std::to_string(r.portIds.back()));
      }
      readers_.push_back(r);
    }
    for (auto& r : readers_) threads_.emplace_back(ReadLoop, &r, &arrivals_, &stop_);
    return true;
  }

  void Close() {
    stop_ = true;
    for (auto& t : threads_) t.join();
    for (auto& r : readers_) snd_seq_close(r.seq);
    snd_seq_close(send_);
  }

  std::string Ready() const {
    std::string s = "READY";
    for (std::size_t i = 0; i < names_.size(); ++i) s += "|" + addresses_[i] + "=" + names_[i];
    return s;
  }

  std::string Target(const std::string& address) {
    if (address == "subscribers") { // whoever reads ProbeSend Out, as a program captured directly
      dest_ = {SND_SEQ_ADDRESS_SUBSCRIBERS, 0};
      return "OK";
    }
    if (snd_seq_parse_address(send_, &dest_, address.c_str()) < 0) return "ERR no such port " + address;
    return "OK";
  }

  std::string Run(const std::string& mode, int count, double rate, const std::string& file, int ports) {
    if (count <= 0 || count > kMaxNumber || rate <= 0 || ports < 1 || ports > inputs_) return "ERR bad run";
    const bool burst = mode == "burst";
    arrivals_.Reset(count);
    std::vector<std::int64_t> sent(static_cast<std::size_t>(count), 0);
    long refused = 0;
    AskForRealtime();
    const std::int64_t start = NowNs() + 20000000LL;
    const double periodNs = 1e9 / rate;
    for (int i = 0; i < count; ++i) {
      const int slot = burst ? (i / kBurst) * kBurst : i;
      if (!burst || i % kBurst == 0) SleepUntil(start + static_cast<std::int64_t>(slot * periodNs));
      snd_seq_event_t ev{};
      ev.type = SND_SEQ_EVENT_NOTEON;
      ev.flags = SND_SEQ_TIME_STAMP_TICK | SND_SEQ_EVENT_LENGTH_FIXED;
      ev.queue = SND_SEQ_QUEUE_DIRECT;
      ev.source.port = static_cast<unsigned char>(sendPort_);
      ev.dest = dest_;
      ev.data.note.channel = static_cast<unsigned char>(i / (128 * 127));
      ev.data.note.note = static_cast<unsigned char>((i / 127) % 128);
      ev.data.note.velocity = static_cast<unsigned char>(i % 127 + 1);
      sent[static_cast<std::size_t>(i)] = NowNs();
      if (snd_seq_event_output_direct(send_, &ev) < 0) ++refused;
    }
    const std::int64_t sendEnd = NowNs();
    arrivals_.WaitQuiet(1500, static_cast<long>(count) * ports);
    std::lock_guard lock(arrivals_.mutex_);
    std::vector<double> delays;
    delays.reserve(static_cast<std::size_t>(count) * static_cast<std::size_t>(inputs_));
    std::ostringstream out;
    out << "OK sent=" << count << " refused=" << refused << " send_s=" << static_cast<double>(sendEnd - start) / 1e9
        << " got=";
    long lostAll = 0;
    std::vector<long> perPort(static_cast<std::size_t>(inputs_), 0);
    for (int p = 0; p < inputs_; ++p) {
      for (int i = 0; i < count; ++i) {
        const std::int64_t t =
            arrivals_.at_[static_cast<std::size_t>(p) * static_cast<std::size_t>(count) + static_cast<std::size_t>(i)];
        if (t == 0) continue;
        ++perPort[static_cast<std::size_t>(p)];
        delays.push_back(static_cast<double>(t - sent[static_cast<std::size_t>(i)]) / 1000.0);
      }
    }
    for (int p = 0; p < inputs_; ++p) out << (p ? "," : "") << perPort[static_cast<std::size_t>(p)];
    for (int p = 0; p < ports; ++p) lostAll += count - perPort[static_cast<std::size_t>(p)];
    const Stats s = Percentiles(delays);
    out << " lost=" << lostAll << " out_of_order=" << arrivals_.outOfOrder_;
    if (arrivals_.outOfOrder_ > 0) {
      out << " disorder_per_port=";
      for (int p = 0; p < inputs_; ++p) out << (p ? "," : "") << arrivals_.disorder_[static_cast<std::size_t>(p)];
      out << " first_disorder=";
      for (int p = 0; p < inputs_; ++p) {
        const auto& f = arrivals_.firstDisorder_[static_cast<std::size_t>(p)];
        out << (p ? "," : "") << (f.empty() ? "-" : f);
      }
      out << " worst_displacement=" << arrivals_.worstDisplacement_;
    }
    out << " duplicates=" << arrivals_.duplicates_ << " p50=" << s.p50 << " p99=" << s.p99 << " p999=" << s.p999
        << " max=" << s.max;
    if (file != "-") {
      if (FILE* f = std::fopen(file.c_str(), "w")) {
        for (double d : delays) std::fprintf(f, "%.1f\n", d);
        std::fclose(f);
      }
    }
    return out.str();
  }

  std::string Sysex(std::size_t size) {
    if (size < 2) return "ERR bad size";
    arrivals_.Reset(1);
    std::vector<unsigned char> msg(size);
    msg.front() = 0xF0;
    msg.back() = 0xF7;
    for (std::size_t i = 1; i + 1 < size; ++i) msg[i] = static_cast<unsigned char>((i * 37 + size) % 128);
    long refused = 0;
    const std::int64_t start = NowNs();
    for (std::size_t at = 0; at < size; at += kSysexPiece) {
      const std::size_t n = std::min(kSysexPiece, size - at);
      snd_seq_event_t ev{};
      ev.type = SND_SEQ_EVENT_SYSEX;
      ev.flags = SND_SEQ_TIME_STAMP_TICK | SND_SEQ_EVENT_LENGTH_VARIABLE;
      ev.queue = SND_SEQ_QUEUE_DIRECT;
      ev.source.port = static_cast<unsigned char>(sendPort_);
      ev.dest = dest_;
      ev.data.ext.len = static_cast<unsigned>(n);
      ev.data.ext.ptr = msg.data() + at;
      // Written only when the reader has room for it, as a well-behaved sender does.
      const int cells = 1 + static_cast<int>((n + sizeof(snd_seq_event_t) - 1) / sizeof(snd_seq_event_t));
      const std::int64_t giveUp = NowNs() + 5000000000LL;
      while (InputRoom(send_, dest_.client) < cells + 16 && NowNs() < giveUp) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      if (snd_seq_event_output_direct(send_, &ev) < 0) ++refused;
    }
    // The whole message, or 10 s of nothing.
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::lock_guard lock(arrivals_.mutex_);
      if (arrivals_.sysexDone_ != 0 && arrivals_.sysex_[0].size() >= size) break;
      if (NowNs() - arrivals_.last_ > 10000000000LL && NowNs() - start > 10000000000LL) break;
    }
    arrivals_.WaitQuiet(300, 0);
    std::lock_guard lock(arrivals_.mutex_);
    const auto& got = arrivals_.sysex_[0];
    const bool whole = got == msg;
    std::size_t firstDiff = 0;
    while (firstDiff < std::min(got.size(), msg.size()) && got[firstDiff] == msg[firstDiff]) ++firstDiff;
    std::ostringstream out;
    out << "OK size=" << size << " whole=" << (whole ? 1 : 0) << " received=" << got.size()
        << " first_difference=" << (whole ? -1L : static_cast<long>(firstDiff)) << " refused=" << refused
        << " ms=" << (arrivals_.sysexDone_ != 0 ? static_cast<double>(arrivals_.sysexDone_ - start) / 1e6 : -1.0);
    return out.str();
  }

private:
  Arrivals arrivals_;
  int inputs_;
  snd_seq_t* send_ = nullptr;
  int sendPort_ = 0;
  snd_seq_addr_t dest_{};
  std::vector<Reader> readers_;
  std::vector<std::thread> threads_;
  std::vector<std::string> names_, addresses_;
  std::atomic<bool> stop_{false};
};

int Serve(int inputs) {
  Probe probe(inputs);
  if (!probe.Open()) {
    std::cout << "ERR no sequencer" << std::endl;
    return 1;
  }
  std::cout << probe.Ready() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string answer;
    if (cmd == "target") {
      std::string address;
      in >> address;
      answer = probe.Target(address);
    } else if (cmd == "run") {
      std::string mode, file;
      int count = 0, ports = 1;
      double rate = 0;
      in >> mode >> count >> rate >> file >> ports;
      answer = probe.Run(mode, count, rate, file.empty() ? "-" : file, ports);
    } else if (cmd == "sysex") {
      std::size_t size = 0;
      in >> size;
      answer = probe.Sysex(size);
    } else if (cmd == "quit") {
      break;
    } else {
      answer = "ERR unknown command";
    }
    std::cout << answer << std::endl;
  }
  probe.Close();
  return 0;
}

int UdpSocket(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (port != 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) return -1;
  return fd;
}

int UdpEcho(int port) {
  AskForRealtime();
  const int fd = UdpSocket(port);
  if (fd < 0) return 1;
  char buf[2048];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    if (n == 4 && std::memcmp(buf, "quit", 4) == 0) break;
    sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
  close(fd);
  return 0;
}

int UdpPing(const char* addr, int port, int count, const char* file) {
  AskForRealtime();
  const int fd = UdpSocket(0);
  if (fd < 0) return 1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, addr, &to.sin_addr);
  timeval tv{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[36] = {};
  std::vector<double> halves;
  long lost = 0;
  for (int i = 0; i < count; ++i) {
    std::memcpy(buf, &i, sizeof i);
    const std::int64_t t0 = NowNs();
    sendto(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char back[64];
    const ssize_t n = recv(fd, back, sizeof back, 0);
    const std::int64_t t1 = NowNs();
    if (n != static_cast<ssize_t>(sizeof buf) || std::memcmp(back, &i, sizeof i) != 0) {
      ++lost;
      continue;
    }
    halves.push_back(static_cast<double>(t1 - t0) / 2000.0);
    std::this_thread::sleep_for(std::chrono::microseconds(500)); // spread out, as events are
  }
  sendto(fd, "quit", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const Stats s = Percentiles(halves);
  std::cout << "OK sent=" << count << " lost=" << lost << " p50=" << s.p50 << " p99=" << s.p99 << " p999=" << s.p999
            << " max=" << s.max << std::endl;
  if (FILE* f = std::fopen(file, "w")) {
    for (double d : halves) std::fprintf(f, "%.1f\n", d);
    std::fclose(f);
  }
  close(fd);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 3) return Serve(std::atoi(argv[2]));
  if (mode == "udp-echo" && argc == 3) return UdpEcho(std::atoi(argv[2]));
  if (mode == "udp-ping" && argc == 6) return UdpPing(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  std::cerr << "usage: compare_probe serve INPUTS | udp-echo PORT | udp-ping ADDR PORT COUNT FILE\n";
  return 2;
}
