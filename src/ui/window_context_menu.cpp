// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/window_context_menu.hpp"

#include <QAction>
#include <QKeySequence>

namespace kestrel::ui {

WindowContextMenu::WindowContextMenu(Hooks hooks, QWidget* parent) : QMenu(parent) {
  setObjectName(QStringLiteral("windowMenu"));
  about_ = addAction(QString());
  connect(
      about_, &QAction::triggered, this, [about = std::move(hooks.about)] { about(); }, Qt::QueuedConnection);
  statistics_ = addAction(QString());
  statistics_->setObjectName(QStringLiteral("statisticsAction"));
  connect(statistics_, &QAction::triggered, this, [statistics = std::move(hooks.statistics)] { statistics(); });
  exit_ = addAction(QString());
  exit_->setObjectName(QStringLiteral("exitAction"));
  exit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  exit_->setShortcutContext(Qt::WindowShortcut);
  connect(exit_, &QAction::triggered, this, [exit = std::move(hooks.exit)] { exit(); });
}

void WindowContextMenu::PopUp(const QPoint& globalPos, const std::function<QString(const char*)>& tr) {
  about_->setText(tr("&About Vantor Kestrel..."));
  statistics_->setText(tr("&Statistics..."));
  exit_->setText(tr("Exit"));
  popup(globalPos);
}

} // namespace kestrel::ui
