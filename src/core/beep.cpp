#include "core/beep.hpp"

#include <atomic>
#include <cstdio>

namespace kestrel {

namespace {
std::atomic<BellFunction> bellFunction{nullptr};
}

void SetBell(BellFunction bell) noexcept { bellFunction.store(bell); }

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept {
  std::fprintf(stderr, "kestrel: beep %u Hz %u ms: %s\n", frequencyHz, durationMs, cause);
  if (const BellFunction bell = bellFunction.load(); bell != nullptr) bell();
}

} // namespace kestrel
