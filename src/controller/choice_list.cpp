// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/choice_list.hpp"

namespace kestrel::controller {

std::string ChoiceList::SelectedText() const {
  return selected_ >= 0 && selected_ < Count() ? At(selected_) : std::string();
}

void ChoiceList::Clear() noexcept {
  entries_.clear();
  selected_ = kNone;
}

void ChoiceList::Add(std::string text) { entries_.push_back(std::move(text)); }

void ChoiceList::Insert(int index, std::string text) {
  entries_.insert(entries_.begin() + index, std::move(text));
  if (selected_ >= index) ++selected_;
}

void ChoiceList::Remove(int index) {
  entries_.erase(entries_.begin() + index);
  if (selected_ == index) {
    selected_ = kNone;
  } else if (selected_ > index) {
    --selected_;
  }
}

void ChoiceList::Select(int index) noexcept { selected_ = index >= 0 && index < Count() ? index : kNone; }

int ChoiceList::FindPrefix(std::string_view text) const noexcept {
  for (int i = 0; i < Count(); ++i) {
    if (StartsWithIgnoringCase(At(i), text)) return i;
  }
  return kNone;
}

int ChoiceList::FindExact(std::string_view text) const noexcept {
  for (int i = 0; i < Count(); ++i) {
    if (EqualsIgnoringCase(At(i), text)) return i;
  }
  return kNone;
}

int ChoiceList::SelectPrefix(std::string_view text) noexcept {
  const int found = FindPrefix(text);
  if (found != kNone) selected_ = found;
  return found;
}

bool SyncComboEntry(ChoiceList& choice, const std::string& name, bool keep) {
  const int found = choice.FindExact(name);
  if (keep) {
    if (found != ChoiceList::kNone) return false;
    int at = 0;
    while (at < choice.Count() && name.compare(choice.At(at)) >= 0) ++at;
    choice.Insert(at, name);
    return false;
  }
  if (found == ChoiceList::kNone) return false;
  const int selected = choice.Selected();
  choice.Remove(found);
  choice.Select(0);
  return selected == found;
}

} // namespace kestrel::controller
