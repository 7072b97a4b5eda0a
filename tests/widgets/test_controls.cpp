#include <gtest/gtest.h>

#include <QDir>
#include <QEnterEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <set>

#include "support/TestApplication.h"
#include "widgets/DialogUnits.h"
#include "widgets/GraphicsArt.h"
#include "widgets/HoverButtonEx.h"
#include "widgets/StaticEx.h"

namespace {

// A 4-frame strip whose frames are solid red, green, blue and grey, with a
// fully transparent column at x == 0 of every frame.
QString WriteTestStrip(const QTemporaryDir& dir, int frame) {
  QImage strip(frame * 4, frame, QImage::Format_ARGB32);
  const uint32_t colours[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF808080};
  for (int i = 0; i < 4; ++i)
    for (int y = 0; y < frame; ++y)
      for (int x = 0; x < frame; ++x) strip.setPixel(i * frame + x, y, x == 0 ? 0x00000000u : colours[i]);
  const QString path = dir.filePath("strip.png");
  strip.save(path, "PNG");
  return path;
}

TEST(HoverButton, LoadsAStripAndSizesItselfToOneFrame) {
  TestApplication();
  QTemporaryDir dir;
  QWidget parent;
  CHoverButtonEx button(&parent, 7);
  ASSERT_TRUE(button.LoadImage(WriteTestStrip(dir, 24).toStdString()));
  EXPECT_EQ(button.FrameSize(), QSize(24, 24));
  EXPECT_EQ(button.size(), QSize(24, 24));

  CHoverButtonEx stacked(&parent);
  stacked.SetHorizontalStrip(false);
  ASSERT_TRUE(stacked.LoadImage(WriteTestStrip(dir, 24).toStdString()));
  EXPECT_EQ(stacked.FrameSize(), QSize(96, 6));
}

TEST(HoverButton, PicksTheFrameOfItsState) {
  TestApplication();
  QTemporaryDir dir;
  QWidget parent;
  CHoverButtonEx button(&parent);
  button.LoadImage(WriteTestStrip(dir, 24).toStdString());
  EXPECT_EQ(button.FrameIndex(), 0);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(&button, &enter);
  EXPECT_TRUE(button.Hover());
  EXPECT_EQ(button.FrameIndex(), 2);
  button.setDown(true);
  EXPECT_EQ(button.FrameIndex(), 1);
  button.setDown(false);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&button, &leave);
  EXPECT_FALSE(button.Hover());
  button.setEnabled(false);
  EXPECT_EQ(button.FrameIndex(), 3);
}

TEST(HoverButton, TransparentPixelsShowTheSolidBackground) {
  TestApplication();
  QTemporaryDir dir;
  QWidget parent;
  CHoverButtonEx button(&parent);
  button.LoadImage(WriteTestStrip(dir, 24).toStdString());
  button.SetSolidBackground(0x00332211);  // window colour: red 0x11, green 0x22, blue 0x33
  const QImage normal = button.ComposeFrame(0);
  EXPECT_EQ(normal.pixel(0, 5), 0xFF112233u);
  // Opaque picture pixels cover it (through the blend's >> 8, so 255 becomes 254).
  EXPECT_EQ(qRed(normal.pixel(5, 5)), 0xFE);
  EXPECT_EQ(qGreen(normal.pixel(5, 5)), 0x00);
  EXPECT_EQ(qBlue(button.ComposeFrame(2).pixel(5, 5)), 0xFE);
}

TEST(HoverButton, CapturesWhatLiesBelowInScreenMode) {
  TestApplication();
  QTemporaryDir dir;
  QWidget parent;
  parent.resize(100, 100);
  CStaticEx band(&parent);
  band.setGeometry(0, 0, 100, 40);
  band.SetColours(0xFF2F2F2F, 0xFFFFFFFF);
  band.Init();
  CHoverButtonEx button(&parent);
  button.move(10, 5);
  button.LoadImage(WriteTestStrip(dir, 24).toStdString());
  EXPECT_EQ(button.BackgroundModeValue(), CHoverButtonEx::kBackgroundFromScreen);
  EXPECT_EQ(button.ComposeFrame(0).pixel(0, 10), 0xFF2F2F2Fu);
  EXPECT_TRUE(button.BackgroundCaptured());
}

TEST(HoverButton, WithoutAnImageItIsAPlainButton) {
  TestApplication();
  QWidget parent;
  CHoverButtonEx button(&parent);
  EXPECT_FALSE(button.LoadImage("/nonexistent/strip.png"));
  EXPECT_FALSE(button.HasImage());
  button.setText("Plain");
  button.resize(60, 20);
  EXPECT_TRUE(button.ComposeFrame(0).isNull());
  EXPECT_FALSE(button.grab().isNull());  // paints through the ordinary button
}

TEST(HoverButton, TooltipAndRegion) {
  TestApplication();
  QWidget parent;
  CHoverButtonEx button(&parent);
  button.SetTooltip("Exit", true);
  button.SetTooltip("", true);  // ignored
  EXPECT_EQ(button.TooltipText(), "Exit");
  EXPECT_EQ(button.toolTip(), "Exit");
  button.SetTooltip("Later", false);
  EXPECT_TRUE(button.toolTip().isEmpty());
  button.SetRegion(QRegion(0, 0, 24, 24, QRegion::Ellipse));
  EXPECT_TRUE(button.HasRegion());
  EXPECT_FALSE(button.mask().contains(QPoint(0, 0)));
  EXPECT_TRUE(button.mask().contains(QPoint(12, 12)));
}

TEST(HoverButton, GraphicsPathsJoinTheApplicationFolder) {
  EXPECT_EQ(GraphicsFile("/opt/app", "\\Graphics\\button_power.png"), "/opt/app/Graphics/button_power.png");
  EXPECT_EQ(GraphicsFile("/opt/app/", "\\Graphics\\x.png"), "/opt/app/Graphics/x.png");
  EXPECT_EQ(GraphicsFile("", "\\Graphics\\x.png"), "Graphics/x.png");
}

TEST(StaticText, DrawsTextOverItsBackground) {
  TestApplication();
  CStaticEx text;
  text.resize(120, 20);
  text.Init();
  EXPECT_EQ(text.Image().pixel(110, 18), 0xFF4B4B4Bu);
  text.SetText("Sources View");
  EXPECT_EQ(text.Text(), "Sources View");
  bool light = false;
  for (int y = 0; y < 20 && !light; ++y)
    for (int x = 0; x < 60 && !light; ++x) light = qGray(text.Image().pixel(x, y)) > 200;
  EXPECT_TRUE(light);
  EXPECT_TRUE(text.testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST(DialogUnitsTest, ConvertsThroughTheFontBaseUnits) {
  TestApplication();
  const DialogUnits du;
  EXPECT_GT(du.BaseWidth(), 3);
  EXPECT_EQ(du.X(4), du.BaseWidth());
  EXPECT_EQ(du.Y(8), du.BaseHeight());
  const QRect r = du.Rect(34, 40, 273, 155);
  EXPECT_EQ(r.left() + r.width(), du.X(34 + 273));
}

TEST(Graphics, EveryFileTheProgramLoadsIsDrawnAsAFourFrameStrip) {
  TestApplication();
  const std::set<QString> expected = {
      "button_3d_move.png", "button_3d_view.png", "button_bin.png", "button_calib.png", "button_calib2.png",
      "button_camera.png", "button_capture.png", "button_data_insert_camera.png", "button_detect_all.png",
      "button_export.png", "button_grid.png", "button_residuals.png", "button_load_parameters.png",
      "button_disable_image.png", "button_griddetect.png",
      "button_end.png", "button_extended_view.png", "button_ff.png", "button_gridreset.png",
      "button_gridselect.png", "button_gridsettings.png", "button_gridstepback.png", "button_gridstepforward.png",
      "button_minimize.png", "button_new.png", "button_objedit_adddistortion.png",
      "button_objedit_subdistortion.png", "button_open.png", "button_open_image.png", "button_power.png",
      "button_record.png", "button_remove_image.png", "button_run.png", "button_rw.png", "button_save.png",
      "button_settings.png", "button_small_view.png", "button_source_setup.png", "button_start.png",
      "button_stop.png", "pane_calib.png", "pane_calibdata.png", "pane_source.png", "pane_source_bottom.png"};
  QTemporaryDir dir;
  ASSERT_EQ(WriteAllGraphics(dir.path()), static_cast<int>(expected.size()));
  std::set<QString> written;
  for (const QString& name : QDir(dir.path()).entryList(QDir::Files)) written.insert(name);
  EXPECT_EQ(written, expected);
  for (const ButtonGraphic& graphic : ButtonGraphics()) {
    const QImage strip(QDir(dir.path()).filePath(graphic.fileName));
    EXPECT_EQ(strip.size(), QSize(graphic.size * 4, graphic.size)) << graphic.fileName.toStdString();
    // The glyph exists and actually marks the normal frame.
    QImage probe(24, 24, QImage::Format_ARGB32);
    probe.fill(Qt::transparent);
    QPainter painter(&probe);
    EXPECT_TRUE(DrawGlyph(painter, graphic.glyph, QRectF(0, 0, 24, 24), Qt::white)) << graphic.glyph.toStdString();
  }
}

}  // namespace
