// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/statistics_view.hpp"

#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace kestrel::ui {

StatisticsView::StatisticsView(const DropCounters& drops, const Translator& translator, QWidget* parent)
    : QDialog(parent), drops_(drops) {
  setObjectName(QStringLiteral("statisticsView"));
  setWindowTitle(QString::fromLatin1(kCaption));
  setWindowIcon(ProgramIcon());
  setModal(false);

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(16);
  auto* sinceText = new QLabel(QStringLiteral("Counted since Kestrel started:"), this);
  sinceText->setObjectName(QStringLiteral("sinceText"));
  // Filled in after translation: a time is no text to translate.
  auto* since = new QLabel(this);
  since->setObjectName(QStringLiteral("since"));
  since->setTextFormat(Qt::PlainText);
  since->setAccessibleName(QStringLiteral("Counted since"));
  grid->addWidget(sinceText, 0, 0);
  grid->addWidget(since, 0, 1, Qt::AlignRight);
  grid->setRowMinimumHeight(1, 6);

  for (std::size_t i = 0; i < kDropKinds; ++i) {
    const QString label =
        QString::fromUtf8(kDropNames[i].label.data(), static_cast<qsizetype>(kDropNames[i].label.size()));
    const QString key = QString::fromUtf8(kDropNames[i].key.data(), static_cast<qsizetype>(kDropNames[i].key.size()));
    auto* name = new QLabel(label, this);
    name->setObjectName(key + QStringLiteral("Label"));
    auto* value = new QLabel(this);
    value->setObjectName(key);
    value->setTextFormat(Qt::PlainText);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setAccessibleName(label);
    name->setBuddy(value);
    values_[i] = value;
    const int row = static_cast<int>(i) + 2;
    grid->addWidget(name, row, 0);
    grid->addWidget(value, row, 1);
  }

  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("close"));
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  grid->addWidget(close, static_cast<int>(kDropKinds) + 2, 1, Qt::AlignRight);
  grid->setColumnStretch(1, 1);

  TranslateDialog(*this, kCaption, translator);
  since->setText(QDateTime::fromSecsSinceEpoch(
                     std::chrono::duration_cast<std::chrono::seconds>(drops_.Since().time_since_epoch()).count())
                     .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
  Refresh();
  connect(&refresh_, &QTimer::timeout, this, [this] { Refresh(); });
}

void StatisticsView::Refresh() {
  const DropCounts counts = drops_.Snapshot();
  for (std::size_t i = 0; i < kDropKinds; ++i) {
    const QString text = QString::number(counts[i]);
    if (values_[i]->text() != text) values_[i]->setText(text);
  }
}

void StatisticsView::showEvent(QShowEvent* event) {
  Refresh();
  refresh_.start(kRefreshMs);
  QDialog::showEvent(event);
}

void StatisticsView::hideEvent(QHideEvent* event) {
  refresh_.stop();
  QDialog::hideEvent(event);
}

} // namespace kestrel::ui
