// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/translated_dialog.hpp"

#include "config/translation.hpp"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>

namespace kestrel::ui {

namespace {

// A language file marks a text it has not translated yet with this value.
constexpr std::string_view kUntranslated = "***";

std::optional<std::string> Found(std::optional<std::string> value) {
  if (value && *value == kUntranslated) return std::nullopt;
  return value;
}

// Applies the translation of `text` through `set`, if there is one.
template <class Set>
void Translate(const Translator& translator, const std::string& section, const QString& text, Set set) {
  if (text.isEmpty()) return;
  if (auto value = TranslateDialogText(translator, section, text.toStdString())) set(QString::fromStdString(*value));
}

// True when `widget` belongs to `dialog` itself rather than to a window of its own inside it
// (a popup menu, a combo box's list, an owned dialog).
bool InDialog(const QWidget& dialog, const QWidget* widget) {
  for (; widget != nullptr && widget != &dialog; widget = widget->parentWidget()) {
    if (widget->isWindow()) return false;
  }
  return widget == &dialog;
}

} // namespace

std::optional<std::string> TranslateDialogText(const Translator& translator, std::string_view section,
                                               std::string_view text) {
  if (auto own = Found(translator.Lookup(section, text))) return own;
  return Found(translator.Lookup("Common", text));
}

void TranslateDialog(QWidget& dialog, const std::string& englishCaption, const Translator& translator) {
  if (translator.LanguageFileName().empty()) return;
  const std::string& section = englishCaption;
  Translate(translator, section, QString::fromStdString(englishCaption),
            [&](const QString& value) { dialog.setWindowTitle(value); });
  for (QWidget* widget : dialog.findChildren<QWidget*>()) {
    if (!InDialog(dialog, widget)) continue;
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      if (!label->pixmap().isNull()) continue;
      Translate(translator, section, label->text(), [label](const QString& value) { label->setText(value); });
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      Translate(translator, section, button->text(), [button](const QString& value) { button->setText(value); });
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
      Translate(translator, section, box->title(), [box](const QString& value) { box->setTitle(value); });
    }
  }
}

} // namespace kestrel::ui
