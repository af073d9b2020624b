// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The About box: the program's name and version, whether the engine threads run in real time, a
// notice line, the web address and the support mail address as links, and OK. It is modal and built anew for every
// showing, so its links start unvisited each time.

#include "ui/link_label.hpp"

#include <QDialog>

namespace kestrel {
class Translator;
}

namespace kestrel::ui {

class AboutBox final : public QDialog {
public:
  static constexpr const char* kCaption = "About Vantor Kestrel";
  static constexpr const char* kWebAddress = "https://kestrel.example.org";
  static constexpr const char* kSupportAddress = "mailto:support@kestrel.example.org";

  // `opener` opens the links (default: the desktop's).
  explicit AboutBox(const Translator& translator, LinkOpener opener = {}, QWidget* parent = nullptr);

  [[nodiscard]] LinkLabel& WebLink() noexcept { return *web_; }
  [[nodiscard]] LinkLabel& MailLink() noexcept { return *mail_; }

private:
  LinkLabel* web_ = nullptr;
  LinkLabel* mail_ = nullptr;
};

// The program's version, as the build names it.
[[nodiscard]] const char* ProgramVersion() noexcept;

} // namespace kestrel::ui
