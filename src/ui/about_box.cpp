// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about_box.hpp"

#include "platform/realtime.hpp"
#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel::ui {

namespace {
constexpr int kIconSize = 32;
} // namespace

const char* ProgramVersion() noexcept { return KESTREL_VERSION; }

AboutBox::AboutBox(const Translator& translator, LinkOpener opener, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutBox"));
  setWindowTitle(QString::fromLatin1(kCaption));
  setWindowIcon(ProgramIcon());
  setModal(true);

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(12);
  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(ProgramIcon().pixmap(kIconSize, kIconSize));
  icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  grid->addWidget(icon, 0, 0, 3, 1);

  auto* name = new QLabel(QStringLiteral("Vantor Kestrel v"), this);
  name->setObjectName(QStringLiteral("version"));
  name->setTextFormat(Qt::PlainText);
  auto* notice = new QLabel(QStringLiteral("Live MIDI across the studio network."), this);
  notice->setObjectName(QStringLiteral("notice"));
  const RealtimeSummary realtime = ProcessRealtimeLedger().Summary();
  auto* realtimeLine = new QLabel(QString::fromStdString(realtime.headline), this);
  realtimeLine->setObjectName(QStringLiteral("realtime"));
  realtimeLine->setTextFormat(Qt::PlainText);
  grid->addWidget(name, 0, 1, 1, 2);
  grid->addWidget(realtimeLine, 1, 1, 1, 2);
  grid->addWidget(notice, 2, 1, 1, 2);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  grid->addWidget(ok, 0, 3, Qt::AlignTop);

  auto* support = new QLabel(QStringLiteral("Support:"), this);
  support->setObjectName(QStringLiteral("support"));
  support->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  web_ = new LinkLabel(QString::fromLatin1(kWebAddress), {}, opener, this);
  web_->setObjectName(QStringLiteral("webLink"));
  mail_ = new LinkLabel(QString::fromLatin1(kSupportAddress), {}, std::move(opener), this);
  mail_->setObjectName(QStringLiteral("mailLink"));
  grid->setRowMinimumHeight(3, 8);
  grid->addWidget(support, 4, 0, 1, 2);
  grid->addWidget(web_, 4, 2, 1, 2);
  grid->addWidget(mail_, 5, 2, 1, 2);
  grid->setColumnStretch(2, 1);

  TranslateDialog(*this, kCaption, translator);
  // The version follows the (translated) name, and the way and priority or the refusal's words
  // follow the real-time headline: they are no texts to translate.
  name->setText(name->text() + QString::fromLatin1(ProgramVersion()));
  realtimeLine->setText(realtimeLine->text() + QString::fromStdString(realtime.details));
  setFixedSize(sizeHint());
}

} // namespace kestrel::ui
