#include "controller/app_context.hpp"

#include "driverctl/provider_control.hpp"
#include "midi/output_table.hpp"

namespace kestrel::ui {

void CaptureRelay::LampTrigger(int port) noexcept {
  if (auto* t = target_.load()) t->LampTrigger(port);
}
void CaptureRelay::InputOpenFailed(int inputIndex) {
  if (auto* t = target_.load()) t->InputOpenFailed(inputIndex);
}
void CaptureRelay::VirtualPortsVanished(int found) {
  if (auto* t = target_.load()) t->VirtualPortsVanished(found);
}
void CaptureRelay::InputVanished(int inputIndex) noexcept {
  if (auto* t = target_.load()) t->InputVanished(inputIndex);
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
  std::string error;
  if (startProvider && !driverctl::EnsureProviderRunning(ProgramDirectory(), &error)) {
    notice("The Kestrel ports are not available: " + error);
  }
  seq = midi::OpenSequencer("Kestrel Network", &error);
  if (!seq) notice("No MIDI: " + error);
  inputs_ = std::make_unique<midi::InputHub>(seq.get(), queue, flags, relay_);
  devices_ = std::make_unique<SequencerDevices>(seq.get());
}

AppContext::~AppContext() {
  relay_.SetTarget(nullptr);
  inputs_.reset(); // the capture thread ends before the queue and the dump go
}

ControllerServices AppContext::Services() {
  return ControllerServices{
      .settings = settings,
      .translator = translator,
      .flags = flags,
      .dump = dump,
      .queue = queue,
      .serverLink = serverLink,
      .inputs = inputs_.get(),
      .devices = *devices_,
      .makeOutputs = [this]() -> std::unique_ptr<MidiOutputs> {
        return std::make_unique<midi::OutputTable>(seq.get(), translator);
      },
      .localAddresses = {},
      .autostartEntry = AutostartEntryPath(ConfigHome()),
      .programPath = ProgramPath(),
      .clock = SystemClock(),
      .setVirtualPortCount =
          [this](int count) {
            return driverctl::SetVirtualPortCount(count, midi::DeviceDirectory(seq.get()), ProgramDirectory());
          },
      .probe = {},
  };
}

} // namespace kestrel::ui
