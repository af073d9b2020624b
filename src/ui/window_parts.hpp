// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the main window's panels share: how a panel reaches the controller, how texts are built
// and written, and the few kinds of control every panel makes alike. UI thread only.

#include "controller/main_dlg.hpp"
#include "controller/main_view.hpp"

#include <QString>

#include <cstdint>
#include <functional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace kestrel::ui {

// The controller's names the window works with.
using controller::ChoiceList;
using controller::CMainDlg;
using controller::ControllerServices;
using controller::ControlStates;
using controller::ControlValues;
using controller::kReportShow;
using controller::kRows;
using controller::kTrayExit;
using controller::MainFields;
using controller::MainView;
using controller::ParsePortText;
using controller::StatusDisplay;
using controller::WindowGeometry;

// What a panel needs of its window: the controller's texts in the user's language, and a way to
// run a controller handler inside the event glue's guard (nothing runs once the program quits).
struct PanelHost {
  std::function<QString(const char* text)> tr;
  std::function<void(const std::function<void(CMainDlg&)>& handler)> forward;
};

// Texts of the window as built are English; TranslateDialog puts them into the user's language
// once the window is complete.
[[nodiscard]] QString English(const char* text);
[[nodiscard]] QString English(const std::string& text);

// A label in the bold of the panels' headings.
[[nodiscard]] QLabel* BoldLabel(const QString& text, QWidget* parent);
// A port number's edit: up to five digits, or empty, so that the controller can say what it needs.
[[nodiscard]] QLineEdit* PortEdit(QWidget* parent);

// Writes only what differs, so that an idle update repaints nothing that stayed.
void SetTextIfChanged(QLabel* label, const QString& text);
void SetShown(QWidget* widget, bool shown);
// Shows a choice list in a combo box. The entries are rebuilt only when they differ, so an open
// popup or the user's place in a long list is not disturbed by every write; the selection is
// set without emitting a change, which only the user makes.
void ShowChoice(QComboBox* combo, const ChoiceList& choice);
// A port edit keeps what the user typed while it means the field's number (a leading zero, say),
// so writing the fields back never moves the cursor under the user's hands.
void ShowPort(QLineEdit* edit, std::uint32_t port);

} // namespace kestrel::ui
