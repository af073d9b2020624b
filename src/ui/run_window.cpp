#include "ui/run_window.hpp"

#include <cstdio>

namespace kestrel::ui {

int RunWindow(AppContext& /*context*/, bool /*startHidden*/) {
  std::fprintf(stderr, "kestrel: the window is not part of this build yet; run kestrel --headless\n");
  return 1;
}

} // namespace kestrel::ui
