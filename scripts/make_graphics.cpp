// Draws every button strip and pane header of the workbench into a folder:
//   make_graphics OUTPUT_FOLDER [CONTACT_SHEET.png]
//   make_graphics --icons HICOLOR_FOLDER   (the application icon in every size)
// The optional contact sheet shows every strip enlarged on the panel grey,
// for reviewing the set at a glance.
#include <QGuiApplication>
#include <QPainter>
#include <cstdio>
#include <string>

#include "widgets/GraphicsArt.h"

namespace {

bool WriteContactSheet(const QString& path) {
  const int scale = 3;
  const auto& buttons = ButtonGraphics();
  const int rowHeight = 36 * scale + 8;
  QImage sheet(4 * 36 * scale + 16 + 144 * 2, static_cast<int>(buttons.size() / 2 + 1) * rowHeight,
               QImage::Format_ARGB32);
  sheet.fill(QColor(0x4B, 0x4B, 0x4B));
  QPainter painter(&sheet);
  for (size_t i = 0; i < buttons.size(); ++i) {
    const QImage strip = MakeButtonStrip(buttons[i]);
    const int column = static_cast<int>(i % 2);
    const int row = static_cast<int>(i / 2);
    const QRect target(8 + column * (sheet.width() / 2), 4 + row * rowHeight, strip.width() * scale / 2,
                       strip.height() * scale / 2);
    painter.drawImage(target, strip);
  }
  int y = 4;
  for (const PaneGraphic& pane : PaneGraphics()) {
    painter.drawImage(QRect(sheet.width() - 150, y, 144, 24), MakePaneHeader(pane));
    y += 30;
  }
  painter.end();
  return sheet.save(path, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make_graphics OUTPUT_FOLDER [CONTACT_SHEET.png]\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  if (std::string(argv[1]) == "--icons") {
    if (argc != 3 || !WriteApplicationIcons(QString::fromLocal8Bit(argv[2]))) {
      std::fprintf(stderr, "make_graphics: cannot write the icons\n");
      return 1;
    }
    return 0;
  }
  const int written = WriteAllGraphics(QString::fromLocal8Bit(argv[1]));
  if (written < 0) {
    std::fprintf(stderr, "make_graphics: cannot write into %s\n", argv[1]);
    return 1;
  }
  if (argc == 3 && !WriteContactSheet(QString::fromLocal8Bit(argv[2]))) {
    std::fprintf(stderr, "make_graphics: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("make_graphics: %d graphics in %s\n", written, argv[1]);
  return 0;
}
