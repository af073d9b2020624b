// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/app_context.hpp"

#include "driverctl/provider_control.hpp"
#include "midi/output_table.hpp"
#include "platform/autostart.hpp"
#include "platform/paths.hpp"

#include <thread>

namespace kestrel::shell {

// Sequentially consistent on purpose: a report counts itself in before it reads the target, and
// SetTarget clears the target before it reads the count, so one of the two always sees the other.
template <class Fn>
void CaptureRelay::Relay(Fn&& fn) noexcept(noexcept(fn(std::declval<midi::CaptureObserver&>()))) {
  struct Inside {
    std::atomic<int>& count;
    explicit Inside(std::atomic<int>& c) noexcept : count(c) { count.fetch_add(1); }
    ~Inside() { count.fetch_sub(1); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
  } inside(inside_);
  if (auto* t = target_.load()) fn(*t);
}

void CaptureRelay::SetTarget(midi::CaptureObserver* target) noexcept {
  target_.store(target);
  while (inside_.load() != 0) std::this_thread::yield();
}

void CaptureRelay::LampTrigger(int port) noexcept {
  Relay([port](midi::CaptureObserver& t) noexcept { t.LampTrigger(port); });
}
void CaptureRelay::InputOpenFailed(int inputIndex) {
  Relay([inputIndex](midi::CaptureObserver& t) { t.InputOpenFailed(inputIndex); });
}
void CaptureRelay::VirtualPortsVanished(int found) {
  Relay([found](midi::CaptureObserver& t) { t.VirtualPortsVanished(found); });
}
void CaptureRelay::InputVanished(int inputIndex) noexcept {
  Relay([inputIndex](midi::CaptureObserver& t) noexcept { t.InputVanished(inputIndex); });
}

namespace {

std::string LanguageOf(const Settings& settings) { return settings.ReadConfigText(config::kLangId); }

} // namespace

AppContext::AppContext(std::filesystem::path dataFile, const std::function<void(const std::string&)>& notice,
                       bool startProvider)
    : settings(std::move(dataFile)),
      translator(LanguageOf(settings).empty() ? Translator()
                                              : Translator(LanguageFileNameFor(LanguageOf(settings)),
                                                           ProgramDirectory(), std::filesystem::current_path())) {
  const auto problem = [&](std::string text) {
    notice(text);
    startupProblems.push_back(std::move(text));
  };
  std::string error;
  if (startProvider && !driverctl::EnsureProviderRunning(ProgramDirectory(), &error)) {
    problem("The Kestrel ports are not available: " + error);
  }
  seq = midi::OpenSequencer("Kestrel Network", &error);
  if (!seq) problem("No MIDI: " + error);
  inputs_ = std::make_unique<midi::InputHub>(seq.get(), queue, flags, relay_);
  devices_ = std::make_unique<controller::SequencerDevices>(seq.get());
}

AppContext::~AppContext() {
  relay_.SetTarget(nullptr);
  inputs_.reset(); // the capture thread ends before the queue and the dump go
}

controller::ControllerServices AppContext::Services() {
  return controller::ControllerServices{
      .settings = settings,
      .translator = translator,
      .flags = flags,
      .dump = dump,
      .queue = queue,
      .serverLink = serverLink,
      .inputs = inputs_.get(),
      .devices = *devices_,
      .makeOutputs = [this]() -> std::unique_ptr<MidiOutputs> {
        return std::make_unique<midi::OutputTable>(seq.get(), translator, &drops);
      },
      .localAddresses = {},
      .localInterfaces = {},
      .autostartEntry = AutostartEntryPath(ConfigHome()),
      .programPath = ProgramPath(),
      .clock = SystemClock(),
      .setVirtualPortCount =
          [this](int count) {
            return driverctl::SetVirtualPortCount(count, midi::DeviceDirectory(seq.get()), ProgramDirectory());
          },
      .probe = {},
      .drops = &drops,
      .startupProblems = startupProblems,
      .noSequencer = !seq,
  };
}

} // namespace kestrel::shell
