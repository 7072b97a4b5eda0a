#include "widgets/GraphicsArt.h"

#include <QDir>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>
#include <QRadialGradient>
#include <QTransform>
#include <cmath>
#include <functional>
#include <map>

namespace {

const QColor kAccent(0xFF, 0xBF, 0x00);
const QColor kGlyphNormal(0xDA, 0xDA, 0xDA);
const QColor kGlyphHover(0xFF, 0xFF, 0xFF);
const QColor kGlyphDisabled(0x74, 0x74, 0x74);
const QColor kRecordRed(0xE0, 0x4A, 0x3C);

// All glyph drawing works on a 24 x 24 unit grid; strokes are 2 units wide.
struct Pen {
  QPainter& p;
  QColor c;
  void Stroke(const QPainterPath& path, double width = 2.0) {
    QPen pen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.strokePath(path, pen);
  }
  void Fill(const QPainterPath& path) { p.fillPath(path, c); }
  void Line(double x0, double y0, double x1, double y1, double width = 2.0) {
    QPainterPath path(QPointF(x0, y0));
    path.lineTo(x1, y1);
    Stroke(path, width);
  }
  void Polyline(std::initializer_list<QPointF> points, bool closed = false, double width = 2.0) {
    QPainterPath path;
    bool first = true;
    for (const QPointF& pt : points) {
      if (first) path.moveTo(pt); else path.lineTo(pt);
      first = false;
    }
    if (closed) path.closeSubpath();
    Stroke(path, width);
  }
  void FillPolygon(std::initializer_list<QPointF> points) {
    QPainterPath path;
    path.addPolygon(QPolygonF(QList<QPointF>(points)));
    path.closeSubpath();
    QPen pen(c, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.strokePath(path, pen);
    Fill(path);
  }
  void Circle(double cx, double cy, double r, double width = 2.0) {
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), r, r);
    Stroke(path, width);
  }
  void Disc(double cx, double cy, double r) {
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), r, r);
    Fill(path);
  }
  void Rect(double x0, double y0, double x1, double y1, double radius = 0, double width = 2.0) {
    QPainterPath path;
    path.addRoundedRect(QRectF(x0, y0, x1 - x0, y1 - y0), radius, radius);
    Stroke(path, width);
  }
  void FillRect(double x0, double y0, double x1, double y1) { p.fillRect(QRectF(x0, y0, x1 - x0, y1 - y0), c); }
  void Plus(double cx, double cy, double half) {
    Line(cx - half, cy, cx + half, cy);
    Line(cx, cy - half, cx, cy + half);
  }
  void Minus(double cx, double cy, double half) { Line(cx - half, cy, cx + half, cy); }
};

void CameraBody(Pen& g, double x0, double y0, double x1, double y1) {
  const double w = x1 - x0;
  const double cx = (x0 + x1) / 2;
  g.Rect(x0, y0, x1, y1, 2.0);
  g.Polyline({{cx - w * 0.22, y0}, {cx - w * 0.13, y0 - 2.5}, {cx + w * 0.13, y0 - 2.5}, {cx + w * 0.22, y0}});
  g.Circle(cx, (y0 + y1) / 2 + 0.3, (y1 - y0) * 0.29);
}

void Chessboard(Pen& g, double x0, double y0, double size, int cells) {
  const double cell = size / cells;
  for (int i = 0; i < cells; ++i)
    for (int j = 0; j < cells; ++j)
      if ((i + j) % 2 == 0) g.FillRect(x0 + j * cell, y0 + i * cell, x0 + (j + 1) * cell, y0 + (i + 1) * cell);
  g.Rect(x0, y0, x0 + size, y0 + size, 0, 1.4);
}

void Picture(Pen& g) {
  g.Rect(3, 5, 18, 17, 1.5);
  g.Polyline({{3.5, 15.5}, {8, 10.5}, {11.5, 14}, {13.5, 12}, {17.5, 15.5}}, false, 1.6);
  g.Disc(13.5, 8.5, 1.4);
}

void Gear(Pen& g, double cx, double cy, double scale) {
  for (int k = 0; k < 8; ++k) {
    const double a = k * M_PI / 4;
    g.Line(cx + std::cos(a) * 5.5 * scale, cy + std::sin(a) * 5.5 * scale, cx + std::cos(a) * 8.5 * scale,
           cy + std::sin(a) * 8.5 * scale, 2.6 * scale);
  }
  g.Circle(cx, cy, 5.6 * scale, 2.2 * scale);
  g.Circle(cx, cy, 2.2 * scale, 1.8 * scale);
}

void Barrel(Pen& g) {
  QPainterPath path(QPointF(5, 5));
  path.quadTo(12, 2, 19, 5);
  path.quadTo(22, 12, 19, 19);
  path.quadTo(12, 22, 5, 19);
  path.quadTo(2, 12, 5, 5);
  g.Stroke(path);
}

void ArrowHead(Pen& g, double x, double y, double dx, double dy) {
  // A filled head pointing along (dx, dy) with its tip at (x, y).
  const double len = std::hypot(dx, dy);
  const double ux = dx / len, uy = dy / len;
  const double bx = x - ux * 4.5, by = y - uy * 4.5;
  g.FillPolygon({{x, y}, {bx - uy * 3, by + ux * 3}, {bx + uy * 3, by - ux * 3}});
}

using GlyphFunction = std::function<void(Pen&)>;

const std::map<QString, GlyphFunction>& Glyphs() {
  static const std::map<QString, GlyphFunction> glyphs = {
      {"power", [](Pen& g) {
         QPainterPath arc;
         arc.arcMoveTo(QRectF(5, 6, 14, 14), 125);
         arc.arcTo(QRectF(5, 6, 14, 14), 125, 290);
         g.Stroke(arc, 2.4);
         g.Line(12, 3.5, 12, 12, 2.4);
       }},
      {"minimize", [](Pen& g) { g.Line(6.5, 15.5, 17.5, 15.5, 2.4); }},
      {"new", [](Pen& g) {
         g.Polyline({{6, 3}, {14, 3}, {19, 8}, {19, 21}, {6, 21}}, true);
         g.Polyline({{14, 3}, {14, 8}, {19, 8}}, false, 1.6);
         g.Plus(12.5, 15, 3);
       }},
      {"open", [](Pen& g) {
         g.Polyline({{3, 19}, {3, 5}, {9, 5}, {11, 7}, {18, 7}, {18, 10}});
         g.Polyline({{3, 19}, {6.5, 10}, {22, 10}, {18.5, 19}}, true);
       }},
      {"save", [](Pen& g) {
         g.Polyline({{4, 4}, {17, 4}, {20, 7}, {20, 20}, {4, 20}}, true);
         g.Rect(8, 4, 15, 9, 0, 1.6);
         g.Rect(7, 13, 17, 20, 0, 1.6);
       }},
      {"camera", [](Pen& g) { CameraBody(g, 3, 8, 21, 19); }},
      {"settings", [](Pen& g) { Gear(g, 12, 12, 1.0); }},
      {"small_view", [](Pen& g) {
         g.Rect(5, 6, 19, 18, 1.5);
         g.Line(5, 9.5, 19, 9.5, 1.6);
       }},
      {"extended_view", [](Pen& g) {
         g.Rect(4, 3, 20, 11, 1.5);
         g.Rect(4, 13, 20, 21, 1.5);
       }},
      {"insert_camera", [](Pen& g) {
         CameraBody(g, 2, 10, 16, 20);
         g.Plus(19, 6, 3);
       }},
      {"calib", [](Pen& g) { Chessboard(g, 4.5, 4.5, 15, 4); }},
      {"detect", [](Pen& g) {
         Chessboard(g, 3, 3, 12, 3);
         g.Circle(15, 15, 4.5, 1.8);
         g.Line(18.2, 18.2, 21.5, 21.5, 2.4);
       }},
      {"detect_all", [](Pen& g) {
         Chessboard(g, 2.5, 2.5, 9, 3);
         Chessboard(g, 8.5, 8.5, 9, 3);
         g.Circle(16, 16, 4.5, 1.8);
         g.Line(19.2, 19.2, 22, 22, 2.4);
       }},
      {"residuals", [](Pen& g) {
         g.Line(12, 3, 12, 21, 1.2);
         g.Line(3, 12, 21, 12, 1.2);
         g.Disc(8, 7.5, 1.7);
         g.Disc(15.5, 9, 1.7);
         g.Disc(9.5, 15.5, 1.7);
         g.Disc(16.5, 16.5, 1.7);
         g.Disc(13.5, 13.5, 1.7);
       }},
      {"export", [](Pen& g) {
         g.Polyline({{10, 5}, {5, 5}, {5, 19}, {19, 19}, {19, 14}});
         g.Line(11, 13, 19, 5);
         g.Polyline({{13.5, 5}, {19, 5}, {19, 10.5}});
       }},
      {"load_parameters", [](Pen& g) {
         // A parameter file (a page holding a small matrix) taken in by an arrow.
         g.Polyline({{9, 3}, {16, 3}, {20, 7}, {20, 21}, {9, 21}, {9, 15}}, false);
         g.Polyline({{16, 3}, {16, 7}, {20, 7}}, false, 1.4);
         g.Polyline({{13, 9.5}, {12, 9.5}, {12, 17}, {13, 17}}, false, 1.3);
         g.Polyline({{16, 9.5}, {17, 9.5}, {17, 17}, {17 - 1, 17}}, false, 1.3);
         g.Disc(14.5, 11.5, 0.9);
         g.Disc(14.5, 15, 0.9);
         g.Line(2.5, 11, 10.5, 11, 2.0);
         g.Polyline({{7.5, 8}, {10.5, 11}, {7.5, 14}}, false, 2.0);
       }},
      {"calib2", [](Pen& g) {
         Chessboard(g, 2.5, 2.5, 10.5, 3);
         Chessboard(g, 11, 11, 10.5, 3);
       }},
      {"bin", [](Pen& g) {
         g.Line(4, 7, 20, 7);
         g.Polyline({{9, 7}, {10, 4}, {14, 4}, {15, 7}}, false, 1.6);
         g.Polyline({{6, 7}, {7.2, 21}, {16.8, 21}, {18, 7}});
         g.Line(10, 10.5, 10, 17.5, 1.5);
         g.Line(14, 10.5, 14, 17.5, 1.5);
       }},
      {"source_setup", [](Pen& g) {
         g.Line(4, 7, 20, 7, 1.6);
         g.Line(4, 12, 20, 12, 1.6);
         g.Line(4, 17, 20, 17, 1.6);
         g.Disc(9, 7, 2.4);
         g.Disc(15, 12, 2.4);
         g.Disc(11, 17, 2.4);
       }},
      {"open_image", [](Pen& g) {
         Picture(g);
         g.Plus(19, 18.5, 3);
       }},
      {"remove_image", [](Pen& g) {
         Picture(g);
         g.Minus(19, 19.5, 3);
       }},
      {"disable_image", [](Pen& g) {
         g.Circle(12, 12, 8);
         g.Line(6.4, 6.4, 17.6, 17.6);
       }},
      {"start", [](Pen& g) {
         g.Line(6.5, 6, 6.5, 18, 2.4);
         g.FillPolygon({{18, 6}, {9, 12}, {18, 18}});
       }},
      {"rw", [](Pen& g) {
         g.FillPolygon({{12, 6.5}, {4, 12}, {12, 17.5}});
         g.FillPolygon({{20, 6.5}, {12, 12}, {20, 17.5}});
       }},
      {"run", [](Pen& g) { g.FillPolygon({{8.5, 5.5}, {18.5, 12}, {8.5, 18.5}}); }},
      {"stop", [](Pen& g) { g.FillRect(7, 7, 17, 17); }},
      {"ff", [](Pen& g) {
         g.FillPolygon({{4, 6.5}, {12, 12}, {4, 17.5}});
         g.FillPolygon({{12, 6.5}, {20, 12}, {12, 17.5}});
       }},
      {"end", [](Pen& g) {
         g.FillPolygon({{6, 6}, {15, 12}, {6, 18}});
         g.Line(17.5, 6, 17.5, 18, 2.4);
       }},
      {"record", [](Pen& g) {
         Pen red{g.p, kRecordRed};
         if (g.c.lightness() < 0x80) red.c = g.c;  // the disabled picture stays grey
         red.Disc(12, 12, 6.5);
       }},
      {"capture", [](Pen& g) {
         g.Polyline({{4, 8.5}, {4, 4}, {8.5, 4}});
         g.Polyline({{15.5, 4}, {20, 4}, {20, 8.5}});
         g.Polyline({{20, 15.5}, {20, 20}, {15.5, 20}});
         g.Polyline({{8.5, 20}, {4, 20}, {4, 15.5}});
         g.Disc(12, 12, 3.6);
       }},
      {"gridreset", [](Pen& g) {
         QPainterPath arc;
         arc.arcMoveTo(QRectF(5, 5, 14, 14), 90);
         arc.arcTo(QRectF(5, 5, 14, 14), 90, 280);
         g.Stroke(arc);
         ArrowHead(g, 12.5, 5, 1, 0);
       }},
      {"gridselect", [](Pen& g) {
         g.Circle(12, 12, 5.5);
         g.Line(12, 2, 12, 8);
         g.Line(12, 16, 12, 22);
         g.Line(2, 12, 8, 12);
         g.Line(16, 12, 22, 12);
         g.Disc(12, 12, 1.3);
       }},
      {"gridsettings", [](Pen& g) {
         for (double v : {3.0, 8.0, 13.0}) {
           g.Line(v, 3, v, 13, 1.5);
           g.Line(3, v, 13, v, 1.5);
         }
         Gear(g, 16.5, 16.5, 0.62);
       }},
      {"adddistortion", [](Pen& g) {
         Barrel(g);
         g.Plus(12, 12, 3.2);
       }},
      {"subdistortion", [](Pen& g) {
         Barrel(g);
         g.Minus(12, 12, 3.2);
       }},
      {"stepback", [](Pen& g) { g.Polyline({{15, 5}, {8, 12}, {15, 19}}, false, 2.6); }},
      {"stepforward", [](Pen& g) { g.Polyline({{9, 5}, {16, 12}, {9, 19}}, false, 2.6); }},
      {"move3d", [](Pen& g) {
         g.Line(12, 5, 12, 19, 1.8);
         g.Line(5, 12, 19, 12, 1.8);
         ArrowHead(g, 12, 2.5, 0, -1);
         ArrowHead(g, 12, 21.5, 0, 1);
         ArrowHead(g, 2.5, 12, -1, 0);
         ArrowHead(g, 21.5, 12, 1, 0);
       }},
      {"cube", [](Pen& g) {
         g.Rect(4, 9, 15, 20, 0, 1.7);
         g.Polyline({{4, 9}, {9, 4}, {20, 4}, {15, 9}}, false, 1.7);
         g.Polyline({{20, 4}, {20, 15}, {15, 20}}, false, 1.7);
       }},
  };
  return glyphs;
}

QColor GlyphColour(int frame) {
  switch (frame) {
    case 1: return kAccent;
    case 2: return kGlyphHover;
    case 3: return kGlyphDisabled;
    default: return kGlyphNormal;
  }
}

void DrawRoundFace(QPainter& p, const QRectF& cell, int frame, bool danger) {
  const QRectF disc = cell.adjusted(0.5, 0.5, -0.5, -0.5);
  QLinearGradient fill(disc.topLeft(), disc.bottomLeft());
  switch (frame) {
    case 1: fill.setColorAt(0, QColor(0x26, 0x26, 0x26)); fill.setColorAt(1, QColor(0x3A, 0x3A, 0x3A)); break;
    case 2:
      fill.setColorAt(0, danger ? QColor(0xC4, 0x4B, 0x3A) : QColor(0x62, 0x62, 0x62));
      fill.setColorAt(1, danger ? QColor(0x8E, 0x2C, 0x22) : QColor(0x44, 0x44, 0x44));
      break;
    case 3: fill.setColorAt(0, QColor(0x3E, 0x3E, 0x3E)); fill.setColorAt(1, QColor(0x38, 0x38, 0x38)); break;
    default: fill.setColorAt(0, QColor(0x52, 0x52, 0x52)); fill.setColorAt(1, QColor(0x34, 0x34, 0x34)); break;
  }
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawEllipse(disc);
  // A thin rim: light on top for depth, accent while hovered.
  const QColor rim = frame == 2 && !danger ? QColor(0xFF, 0xBF, 0x00, 0xC0) : QColor(0x1E, 0x1E, 0x1E, 0xC8);
  p.setPen(QPen(rim, 1.0));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
  if (frame == 0 || frame == 2) {
    p.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
    p.drawArc(disc.adjusted(1.5, 1.5, -1.5, -1.5), 30 * 16, 120 * 16);
  }
}

void DrawSquareFace(QPainter& p, const QRectF& cell, int frame) {
  if (frame == 0 || frame == 3) return;  // the toolbar strip shows through
  const QRectF tile = cell.adjusted(2.5, 2.5, -2.5, -2.5);
  QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
  if (frame == 1) {
    fill.setColorAt(0, QColor(0x2C, 0x2C, 0x2C));
    fill.setColorAt(1, QColor(0x38, 0x38, 0x38));
  } else {
    fill.setColorAt(0, QColor(0x68, 0x68, 0x68));
    fill.setColorAt(1, QColor(0x55, 0x55, 0x55));
  }
  p.setBrush(fill);
  p.setPen(QPen(frame == 2 ? QColor(0xFF, 0xBF, 0x00, 0xB0) : QColor(0x22, 0x22, 0x22), 1.0));
  p.drawRoundedRect(tile, 4, 4);
}

void DrawFrame(QPainter& p, const ButtonGraphic& graphic, int frame) {
  const QRectF cell(frame * graphic.size, 0, graphic.size, graphic.size);
  const bool danger = graphic.glyph == "power";
  if (graphic.style == ButtonStyle::kRound) DrawRoundFace(p, cell, frame, danger);
  else DrawSquareFace(p, cell, frame);
  const double glyphShare = graphic.style == ButtonStyle::kRound ? 0.6 : 0.64;
  const double glyphSize = graphic.size * glyphShare;
  QRectF box(cell.center().x() - glyphSize / 2, cell.center().y() - glyphSize / 2, glyphSize, glyphSize);
  if (frame == 1) box.translate(0.5, 0.5);
  DrawGlyph(p, graphic.glyph, box, GlyphColour(frame));
}

}  // namespace

const std::vector<ButtonGraphic>& ButtonGraphics() {
  using S = ButtonStyle;
  static const std::vector<ButtonGraphic> graphics = {
      {"button_power.png", "power", 24, S::kRound},
      {"button_minimize.png", "minimize", 24, S::kRound},
      {"button_new.png", "new", 36, S::kSquare},
      {"button_open.png", "open", 36, S::kSquare},
      {"button_save.png", "save", 36, S::kSquare},
      {"button_camera.png", "camera", 36, S::kSquare},
      {"button_settings.png", "settings", 36, S::kSquare},
      {"button_small_view.png", "small_view", 36, S::kSquare},
      {"button_extended_view.png", "extended_view", 36, S::kSquare},
      {"button_data_insert_camera.png", "insert_camera", 32, S::kRound},
      {"button_calib.png", "calib", 32, S::kRound},
      {"button_calib2.png", "calib2", 32, S::kRound},
      {"button_bin.png", "bin", 32, S::kRound},
      {"button_detect_all.png", "detect_all", 32, S::kRound},
      {"button_residuals.png", "residuals", 32, S::kRound},
      {"button_export.png", "export", 32, S::kRound},
      {"button_load_parameters.png", "load_parameters", 32, S::kRound},
      {"button_grid.png", "gridsettings", 32, S::kRound},
      {"button_source_setup.png", "source_setup", 32, S::kRound},
      {"button_open_image.png", "open_image", 24, S::kRound},
      {"button_remove_image.png", "remove_image", 24, S::kRound},
      {"button_disable_image.png", "disable_image", 24, S::kRound},
      {"button_start.png", "start", 24, S::kRound},
      {"button_rw.png", "rw", 24, S::kRound},
      {"button_run.png", "run", 24, S::kRound},
      {"button_stop.png", "stop", 24, S::kRound},
      {"button_ff.png", "ff", 24, S::kRound},
      {"button_end.png", "end", 24, S::kRound},
      {"button_record.png", "record", 24, S::kRound},
      {"button_capture.png", "capture", 24, S::kRound},
      {"button_gridselect.png", "gridselect", 36, S::kSquare},
      {"button_gridreset.png", "gridreset", 36, S::kSquare},
      {"button_gridsettings.png", "gridsettings", 36, S::kSquare},
      {"button_griddetect.png", "detect", 36, S::kSquare},
      {"button_objedit_adddistortion.png", "adddistortion", 36, S::kSquare},
      {"button_objedit_subdistortion.png", "subdistortion", 36, S::kSquare},
      {"button_gridstepback.png", "stepback", 36, S::kSquare},
      {"button_gridstepforward.png", "stepforward", 36, S::kSquare},
      {"button_3d_move.png", "move3d", 36, S::kSquare},
      {"button_3d_view.png", "cube", 36, S::kSquare},
  };
  return graphics;
}

const std::vector<PaneGraphic>& PaneGraphics() {
  static const std::vector<PaneGraphic> panes = {
      {"pane_source.png", "camera", false},
      {"pane_calibdata.png", "calib", false},
      {"pane_calib.png", "cube", false},
      {"pane_source_bottom.png", "", true},
  };
  return panes;
}

bool DrawGlyph(QPainter& painter, const QString& glyph, const QRectF& box, const QColor& colour) {
  const auto& glyphs = Glyphs();
  const auto it = glyphs.find(glyph);
  if (it == glyphs.end()) return false;
  const double side = std::min(box.width(), box.height());
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  painter.scale(side / 24.0, side / 24.0);
  Pen pen{painter, colour};
  it->second(pen);
  painter.restore();
  return true;
}

QImage MakeButtonStrip(const ButtonGraphic& graphic) {
  QImage strip(graphic.size * 4, graphic.size, QImage::Format_ARGB32_Premultiplied);
  strip.fill(Qt::transparent);
  QPainter painter(&strip);
  painter.setRenderHint(QPainter::Antialiasing);
  for (int frame = 0; frame < 4; ++frame) DrawFrame(painter, graphic, frame);
  painter.end();
  return strip.convertToFormat(QImage::Format_ARGB32);
}

QImage MakePaneHeader(const PaneGraphic& graphic) {
  QImage header(144, 24, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&header);
  QLinearGradient fill(0, 0, 0, 24);
  if (graphic.bottom) {
    fill.setColorAt(0, QColor(0x3C, 0x3C, 0x3C));
    fill.setColorAt(1, QColor(0x56, 0x56, 0x56));
  } else {
    fill.setColorAt(0, QColor(0x64, 0x64, 0x64));
    fill.setColorAt(1, QColor(0x3E, 0x3E, 0x3E));
  }
  p.fillRect(QRect(0, 0, 144, 24), fill);
  p.fillRect(QRect(0, 0, 144, 1), QColor(0x78, 0x78, 0x78));
  p.fillRect(QRect(0, 23, 144, 1), QColor(0x26, 0x26, 0x26));
  if (!graphic.bottom) {
    p.fillRect(QRect(0, 1, 2, 22), kAccent);
    DrawGlyph(p, graphic.glyph, QRectF(122, 4, 16, 16), QColor(0xC8, 0xC8, 0xC8));
  }
  p.end();
  return header.convertToFormat(QImage::Format_ARGB32);
}

int WriteAllGraphics(const QString& folder) {
  QDir dir(folder);
  if (!dir.exists() && !QDir().mkpath(folder)) return -1;
  int written = 0;
  for (const ButtonGraphic& graphic : ButtonGraphics()) {
    if (!MakeButtonStrip(graphic).save(dir.filePath(graphic.fileName), "PNG")) return -1;
    ++written;
  }
  for (const PaneGraphic& pane : PaneGraphics()) {
    if (!MakePaneHeader(pane).save(dir.filePath(pane.fileName), "PNG")) return -1;
    ++written;
  }
  return written;
}

// ---------------------------------------------------------------------------
// Application icon, drawn on a 256-unit canvas and scaled.

namespace {

void DrawIconBackground(QPainter& p) {
  QLinearGradient fill(0, 8, 0, 248);
  fill.setColorAt(0, QColor(0x58, 0x58, 0x58));
  fill.setColorAt(1, QColor(0x2A, 0x2A, 0x2A));
  p.setPen(QPen(QColor(0x1A, 0x1A, 0x1A), 4));
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(10, 10, 236, 236), 44, 44);
}

// A 4 x 3 board of squares mapped onto a quadrilateral leaning away from the eye.
void DrawIconBoard(QPainter& p) {
  const QPolygonF square({QPointF(0, 0), QPointF(4, 0), QPointF(4, 3), QPointF(0, 3)});
  const QPolygonF board({QPointF(40, 78), QPointF(196, 52), QPointF(214, 188), QPointF(52, 204)});
  QTransform toBoard;
  if (!QTransform::quadToQuad(square, board, toBoard)) return;
  p.save();
  p.setTransform(toBoard, true);
  p.setPen(Qt::NoPen);
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 4; ++column) {
      p.setBrush((row + column) % 2 ? QColor(0x30, 0x30, 0x30) : QColor(0xE4, 0xE4, 0xE4));
      p.drawRect(QRectF(column, row, 1, 1));
    }
  p.restore();
  p.setPen(QPen(QColor(0x1E, 0x1E, 0x1E), 3));
  p.setBrush(Qt::NoBrush);
  p.drawPolygon(board);
}

void DrawIconLens(QPainter& p) {
  const QPointF centre(170, 170);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x00, 0x00, 0x00, 0x50));
  p.drawEllipse(centre + QPointF(4, 6), 62, 62);
  p.setPen(QPen(QColor(0xFF, 0xBF, 0x00), 16));
  p.setBrush(QColor(0x20, 0x20, 0x20, 0x70));
  p.drawEllipse(centre, 54, 54);
  p.setPen(QPen(QColor(0xFF, 0xE0, 0x80, 0xC0), 5, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(centre - QPointF(36, 36), QSizeF(72, 72)), 100 * 16, 60 * 16);
}

}  // namespace

QImage MakeApplicationIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);
  DrawIconBackground(p);
  DrawIconBoard(p);
  DrawIconLens(p);
  return image;
}

const std::vector<int>& ApplicationIconSizes() {
  static const std::vector<int> sizes{16, 22, 24, 32, 48, 64, 128, 256};
  return sizes;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : ApplicationIconSizes()) icon.addPixmap(QPixmap::fromImage(MakeApplicationIcon(size)));
  return icon;
}

bool WriteApplicationIcons(const QString& hicolorFolder) {
  for (int size : ApplicationIconSizes()) {
    const QString folder = QString("%1/%2x%2/apps").arg(hicolorFolder).arg(size);
    if (!QDir().mkpath(folder) || !MakeApplicationIcon(size).save(folder + "/lentora.png", "PNG")) return false;
  }
  return true;
}
