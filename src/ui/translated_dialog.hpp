// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The one step that puts a window built in code into the user's language. Every window of the
// program is built with its English texts and then passed through TranslateDialog once, before it
// is first shown; texts the program sets later (tooltips, list headers, menu items, status texts)
// are translated where they are set, through Translator::TranslateString.

#include <QWidget>

#include <optional>
#include <string>
#include <string_view>

namespace kestrel {
class Translator;
}

namespace kestrel::ui {

// The translation of one dialog text: its unescaped value in the dialog's own section, else in
// "Common"; a missing key and the value "***" count as absent in both. nullopt: keep the text.
// An empty value is a translation to the empty text.
[[nodiscard]] std::optional<std::string> TranslateDialogText(const Translator& translator, std::string_view section,
                                                             std::string_view text);

// Translates the caption of `dialog` and the texts of its labels, buttons (push buttons, check
// boxes, radio buttons) and group boxes, looked up under their English texts in the section named
// by `englishCaption`. Edit contents, combo-box entries, picture labels and widgets of other
// windows (menus, dialogs owned by this one) are left alone, as are empty texts, which only hold
// the place of texts set at run time. Does nothing when no language is selected.
void TranslateDialog(QWidget& dialog, const std::string& englishCaption, const Translator& translator);

} // namespace kestrel::ui
