// SPDX-License-Identifier: GPL-3.0-or-later
// kestrel-icons: draws the application icon for installation, from the same picture as the tray's
// (the keyboard without marks): a scalable SVG and PNGs at the sizes desktops ask for.
//
//   kestrel-icons OUTPUT_FOLDER   writes OUTPUT_FOLDER/scalable.svg and OUTPUT_FOLDER/<N>.png

#include "ui/tray_icon.hpp"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgGenerator>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Usage: kestrel-icons OUTPUT_FOLDER\n", stderr);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const QGuiApplication app(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      kestrel::ui::PaintTrayPicture(painter, kestrel::controller::TrayPicture::Program, size);
    }
    const QString path = folder + QStringLiteral("/%1.png").arg(size);
    if (!image.save(path)) {
      std::fprintf(stderr, "kestrel-icons: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  constexpr int kSvgSize = 64;
  QSvgGenerator svg;
  svg.setFileName(folder + QStringLiteral("/scalable.svg"));
  svg.setSize(QSize(kSvgSize, kSvgSize));
  svg.setViewBox(QRect(0, 0, kSvgSize, kSvgSize));
  svg.setTitle(QStringLiteral("Kestrel"));
  svg.setDescription(QStringLiteral("A small piano keyboard"));
  {
    QPainter painter(&svg);
    kestrel::ui::PaintTrayPicture(painter, kestrel::controller::TrayPicture::Program, kSvgSize);
  }
  return 0;
}
