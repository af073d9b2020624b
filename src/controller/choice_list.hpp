// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A drop-down list of the window as the controller keeps it: the entries' texts and the selected
// position. The Qt window shows it; the controller's rules work on it alone.

#include "base/text.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::controller {

class ChoiceList {
public:
  static constexpr int kNone = -1;

  [[nodiscard]] const std::vector<std::string>& Entries() const noexcept { return entries_; }
  [[nodiscard]] int Count() const noexcept { return static_cast<int>(entries_.size()); }
  [[nodiscard]] int Selected() const noexcept { return selected_; }
  // The selected entry's text, empty when nothing is selected.
  [[nodiscard]] std::string SelectedText() const;
  [[nodiscard]] const std::string& At(int index) const { return entries_.at(static_cast<std::size_t>(index)); }

  void Clear() noexcept;
  void Add(std::string text);
  void Insert(int index, std::string text);
  void Remove(int index);
  // Selects `index`; out-of-range positions select nothing.
  void Select(int index) noexcept;

  // The first entry that begins with `text`, letter case ignored; kNone when there is none.
  [[nodiscard]] int FindPrefix(std::string_view text) const noexcept;
  // The first entry equal to `text`, letter case ignored; kNone when there is none.
  [[nodiscard]] int FindExact(std::string_view text) const noexcept;
  // Selects the first entry beginning with `text` and returns its position (kNone: selection
  // unchanged).
  int SelectPrefix(std::string_view text) noexcept;

private:
  std::vector<std::string> entries_;
  int selected_ = kNone;
};

// Keeps `name` in the choice (keep true: added in name order when missing) or takes it out (keep
// false: selection moves to entry 0). True only when the entry taken out was the selected one.
bool SyncComboEntry(ChoiceList& choice, const std::string& name, bool keep);

} // namespace kestrel::controller
