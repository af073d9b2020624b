// SPDX-License-Identifier: GPL-3.0-or-later
// soak_synth NAME: a synthesizer as far as the soak can tell. A sequencer client NAME with one
// writable port "NAME in"; every event it reads becomes one line on standard output:
//   <CLOCK_MONOTONIC ms> on|off|cc|sysex|other <channel> <data1> <data2>
// It runs until SIGTERM or SIGINT. Stopped with SIGSTOP, it stops reading, as a frozen program does.

#include <alsa/asoundlib.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

volatile std::sig_atomic_t stopping = 0;

double NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

void Print(const snd_seq_event_t& ev) {
  const double now = NowMs();
  switch (ev.type) {
  case SND_SEQ_EVENT_NOTEON:
    std::printf("%.1f %s %d %d %d\n", now, ev.data.note.velocity == 0 ? "off" : "on", ev.data.note.channel,
                ev.data.note.note, ev.data.note.velocity);
    break;
  case SND_SEQ_EVENT_NOTEOFF:
    std::printf("%.1f off %d %d %d\n", now, ev.data.note.channel, ev.data.note.note, ev.data.note.velocity);
    break;
  case SND_SEQ_EVENT_CONTROLLER:
    std::printf("%.1f cc %d %u %d\n", now, ev.data.control.channel, ev.data.control.param, ev.data.control.value);
    break;
  case SND_SEQ_EVENT_SYSEX: std::printf("%.1f sysex 0 %u 0\n", now, ev.data.ext.len); break;
  default:
    if (ev.type < SND_SEQ_EVENT_CLIENT_START) std::printf("%.1f other 0 %d 0\n", now, ev.type);
    return;
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: soak_synth NAME\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0) {
    std::fprintf(stderr, "soak_synth: no sequencer\n");
    return 1;
  }
  snd_seq_set_client_name(seq, argv[1]);
  const std::string port = std::string(argv[1]) + " in";
  if (snd_seq_create_simple_port(seq, port.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) < 0) {
    std::fprintf(stderr, "soak_synth: no port\n");
    return 1;
  }
  std::printf("%.1f ready 0 0 0\n", NowMs());
  std::fflush(stdout);
  while (stopping == 0) {
    snd_seq_event_t* ev = nullptr;
    const int r = snd_seq_event_input(seq, &ev); // a signal breaks the wait
    if (r >= 0 && ev != nullptr) Print(*ev);
    if (snd_seq_event_input_pending(seq, 0) == 0) std::fflush(stdout);
  }
  std::fflush(stdout);
  snd_seq_close(seq);
  return 0;
}
