// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/window_parts.hpp"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>

namespace kestrel::ui {

QString English(const char* text) { return QString::fromUtf8(text); }
QString English(const std::string& text) { return QString::fromStdString(text); }

QLabel* BoldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

QLineEdit* PortEdit(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), edit));
  edit->setMaxLength(5);
  edit->setAlignment(Qt::AlignRight);
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
  return edit;
}

void SetTextIfChanged(QLabel* label, const QString& text) {
  if (label != nullptr && label->text() != text) label->setText(text);
}

void SetShown(QWidget* widget, bool shown) {
  if (widget->isHidden() == shown) widget->setVisible(shown);
}

void ShowChoice(QComboBox* combo, const ChoiceList& choice) {
  const QSignalBlocker quiet(combo);
  bool same = combo->count() == choice.Count();
  for (int i = 0; same && i < choice.Count(); ++i) same = combo->itemText(i) == QString::fromStdString(choice.At(i));
  if (!same) {
    combo->clear();
    for (const std::string& entry : choice.Entries()) combo->addItem(QString::fromStdString(entry));
  }
  if (combo->currentIndex() != choice.Selected()) combo->setCurrentIndex(choice.Selected());
}

void ShowPort(QLineEdit* edit, std::uint32_t port) {
  const auto shown = ParsePortText(edit->text().toStdString());
  if (!shown || *shown != port) edit->setText(QString::number(port));
}

} // namespace kestrel::ui
