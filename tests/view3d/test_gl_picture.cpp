// The 3D results window drawn for real. Needs an OpenGL context (under Xvfb
// with Mesa); without one the picture tests skip and only the fallback is
// checked. Pictures are written to the screenshot folder for inspection.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTest>
#include <cstdlib>

#include "calib/CalibrationProblem.h"
#include "calib/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "widgets/HoverButtonEx.h"
#include "view3d/Calib3DScene.h"
#include "view3d/Calib3DView.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

QApplication& Application() {
  static int argc = 1;
  static char name[] = "view3d_tests";
  static char* argv[] = {name, nullptr};
  // With a display the window system gives the GL picture; the offscreen
  // platform stays the fallback when the display cannot be opened. Under
  // AddressSanitizer the X keyboard library reads past a string while the
  // xcb platform starts, so sanitized runs keep to offscreen (and skip).
  const char* display = std::getenv("DISPLAY");
  if (!kSanitized && QApplication::instance() == nullptr && display != nullptr && *display != '\0')
    qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
  // Never destroyed: Qt's own globals may be gone by the time statics are.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

void SaveScreenshot(const QImage& image, const QString& name) {
  const QString folder = QStringLiteral(LENTORA_VIEW3D_SCREENSHOT_DIR);
  QDir().mkpath(folder);
  image.save(folder + "/" + name + ".png");
}

struct ColourCounts {
  int white = 0, blue = 0, green = 0, red = 0, dark = 0, amber = 0, other = 0;
};

// Classifies pixels roughly by their dominant channel.
ColourCounts CountColours(const QImage& picture) {
  ColourCounts counts;
  const QImage image = picture.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      const int r = qRed(p), g = qGreen(p), b = qBlue(p);
      if (r > 240 && g > 240 && b > 240) ++counts.white;
      else if (r < 60 && g < 60 && b < 60) ++counts.dark;
      else if (b > 150 && r < 120 && g < 120) ++counts.blue;
      else if (g > 150 && r < 120 && b < 120) ++counts.green;
      else if (r > 150 && g < 120 && b < 120) ++counts.red;
      else if (r > 200 && g > 140 && g < 230 && b < 100) ++counts.amber;
      else ++counts.other;
    }
  }
  return counts;
}

class Calib3DPicture : public ::testing::Test {
 protected:
  void SetUp() override {
    Application();
    if (!OpenGLAvailable()) GTEST_SKIP() << "no OpenGL context on this display";
    window_ = std::make_unique<CCalib3DScene>(&store_, std::string(LENTORA_GRAPHICS_PARENT));
    window_->ShowResults();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QCoreApplication::processEvents();
    if (!window_->HasOpenGL()) GTEST_SKIP() << "the view got no usable OpenGL context";
  }

  QImage Picture(const QString& name) {
    QCoreApplication::processEvents();
    const QImage picture = window_->GrabPicture();
    SaveScreenshot(picture, name);
    // What the display shows, labels painted over the GL picture included.
    SaveScreenshot(window_->screen()->grabWindow(window_->winId()).toImage(), name + "_screen");
    SaveScreenshot(window_->GrabWindow(), name + "_window");
    return picture;
  }

  // Eight synthetic views calibrated the way the data panel does it.
  void CalibrateSyntheticCamera() {
    SyntheticOptions options;
    options.views = 8;
    options.render.supersampling = 1;
    const SyntheticRig rig = MakeSyntheticRig(options);
    ASSERT_TRUE(store_.AddCamera());
    store_.SetGrid(0, rig.grid);
    const SyntheticCameraViews& views = rig.cameras[0];
    for (size_t v = 0; v < views.images.size(); ++v) {
      ASSERT_TRUE(store_.AddViewFromFrame(0, views.images[v].clone()));
      *store_.GetGridPoints(0, static_cast<int>(v)) = views.points[v];
      store_.SetViewHasPoints(0, static_cast<int>(v), 1);
    }
    CalibrationProblem& problem = store_.GetCalibrationProblem(0);
    ASSERT_TRUE(problem.Calibrate(*store_.GetGridPointLists(0), rig.grid, 640, 480));
    window_->AddCalibrationResults(0);
  }

  CCalibrationData store_;
  std::unique_ptr<CCalib3DScene> window_;
};

}  // namespace

TEST_F(Calib3DPicture, BeforeAnyCalibrationOnlyTheAxesOnWhite) {
  const ColourCounts c = CountColours(Picture("01_axes_only"));
  const QSize size = window_->ViewArea().size();
  EXPECT_GT(c.white, size.width() * size.height() * 95 / 100);
  EXPECT_GT(c.blue, 10);
  EXPECT_GT(c.green, 10);
  EXPECT_GT(c.red, 10);
  EXPECT_EQ(c.dark, 0);
  EXPECT_EQ(c.amber, 0);
}

TEST_F(Calib3DPicture, GridsAndPyramidsAfterACalibration) {
  CalibrateSyntheticCamera();
  ASSERT_EQ(window_->Content().Meshes().size(), 8u);
  ASSERT_EQ(window_->Content().Pyramids().size(), 8u);
  ASSERT_EQ(window_->Content().Thumbnails().size(), 8u);

  const ColourCounts grids = CountColours(Picture("02_camera_centred"));
  EXPECT_GT(grids.dark, 50) << "black squares of the grids";

  window_->MoveWorld();
  const QImage fitted = Picture("03_camera_centred_moved");
  const ColourCounts box = CountColours(fitted);
  EXPECT_GT(box.green, grids.green + 100) << "the box";
  EXPECT_GT(box.blue, grids.blue + 50) << "the corner labels";

  window_->ToggleViewMode();
  const ColourCounts pyramids = CountColours(Picture("04_object_centred"));
  EXPECT_GT(pyramids.blue, 200) << "pyramid edges";
  EXPECT_GT(pyramids.other + pyramids.dark, 500) << "thumbnails on the image planes";

  window_->NextCamera();
  EXPECT_GT(CountColours(Picture("05_object_centred_highlight")).amber, 20);
  window_->ToggleAntiAliasing();
  EXPECT_GT(CountColours(Picture("06_object_centred_antialiased")).blue, 100);
  window_->ToggleAntiAliasing();
  window_->PreviousCamera();

  window_->ToggleViewMode();
  EXPECT_EQ(Picture("07_camera_centred_again"), fitted) << "two switches give the same picture back";

  window_->NextCamera();
  EXPECT_GT(CountColours(Picture("08_camera_centred_highlight")).amber, 20) << "the first grid in amber";
}

TEST_F(Calib3DPicture, MouseDragsTurnAndShiftTheWorld) {
  QWidget* view = window_->View();
  const QImage before = window_->GrabPicture();
  const QPoint centre = view->rect().center();
  QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, centre);
  QMouseEvent move(QEvent::MouseMove, QPointF(centre + QPoint(60, 20)), view->mapToGlobal(QPointF(centre + QPoint(60, 20))),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, centre + QPoint(60, 20));
  const QImage turned = Picture("09_axes_turned");
  EXPECT_NE(turned, before);
  EXPECT_GT(CountColours(turned).red, 10);
}

TEST(Calib3DWindow, WithoutOpenGLTheViewAreaShowsAMessage) {
  Application();
  qputenv("LENTORA_NO_OPENGL", "1");
  CCalibrationData store;
  CCalib3DScene window(&store, std::string(LENTORA_GRAPHICS_PARENT));
  qunsetenv("LENTORA_NO_OPENGL");
  EXPECT_EQ(window.View(), nullptr);
  EXPECT_FALSE(window.HasOpenGL());
  const double R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, t[3] = {0, 0, 100};
  window.AddGridMesh(R, t);
  window.SetGridTexture(8, 6, 30, 30);
  window.AddThumbnails(5);  // no such camera: nothing added
  window.AddCalibrationResults(3);
  window.MoveWorld();
  window.ToggleViewMode();
  window.ShowResults();
  EXPECT_TRUE(window.GrabPicture().isNull());
  const QImage shot = window.GrabWindow();
  SaveScreenshot(shot, "00_no_opengl_window");
  EXPECT_EQ(window.Content().Meshes().size(), 1u);
  EXPECT_EQ(window.Content().Thumbnails().size(), 0u);
  // The view area is white with dark message text, not left undrawn.
  const QImage area = shot.copy(window.ViewArea());
  const ColourCounts c = CountColours(area);
  EXPECT_GT(c.white, area.width() * area.height() / 2);
  EXPECT_GT(c.dark, 20);
}

TEST(Calib3DWindow, LayoutButtonsAndCommands) {
  Application();
  qputenv("LENTORA_NO_OPENGL", "1");
  CCalibrationData store;
  CCalib3DScene window(&store, std::string(LENTORA_GRAPHICS_PARENT));
  qunsetenv("LENTORA_NO_OPENGL");
  window.ShowResults();
  EXPECT_EQ(window.pos(), QPoint(50, 50));
  // Side buttons stacked 39 pixels apart at the panel's left edge + 2.
  for (int id : {CCalib3DScene::kMoveWorldId, CCalib3DScene::kViewModeId, CCalib3DScene::kPreviousCameraId,
                 CCalib3DScene::kNextCameraId})
    ASSERT_NE(window.Button(id), nullptr) << id;
  const QPoint first = window.Button(CCalib3DScene::kMoveWorldId)->pos();
  EXPECT_EQ(window.Button(CCalib3DScene::kNextCameraId)->pos(), first + QPoint(0, 3 * 39));
  EXPECT_EQ(window.Button(CCalib3DScene::kViewModeId)->TooltipText(), "Object/camera centred view");
  EXPECT_EQ(window.Button(CCalib3DScene::kExitId)->pos().y(), 2);
  EXPECT_EQ(window.TitleBand().top(), 0);
  EXPECT_LT(window.TitleBand().bottom(), window.ViewArea().top());

  window.Button(CCalib3DScene::kViewModeId)->click();
  EXPECT_EQ(window.Content().ViewMode(), D3D::kObjectCentred);
  window.Button(CCalib3DScene::kMoveWorldId)->click();
  EXPECT_TRUE(window.Content().BoxPresent());
  QTest::keyClick(&window, Qt::Key_Return);
  EXPECT_TRUE(window.Content().AntiAliased());
  window.Button(CCalib3DScene::kMinimizeId)->click();
  EXPECT_FALSE(window.isVisible());
}

TEST(Calib3DWindow, DraggingTheTitleBandMovesTheWindow) {
  Application();
  qputenv("LENTORA_NO_OPENGL", "1");
  CCalibrationData store;
  CCalib3DScene window(&store, std::string(LENTORA_GRAPHICS_PARENT));
  qunsetenv("LENTORA_NO_OPENGL");
  window.ShowResults();
  QWidget* title = window.TitleWidget();
  const QPoint start = window.pos();
  const QPoint grip(40, 5);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(grip), title->mapToGlobal(QPointF(grip)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(title, &press);
  const QPoint to = grip + QPoint(30, 17);
  QMouseEvent move(QEvent::MouseMove, QPointF(to), title->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(title, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(to), title->mapToGlobal(QPointF(to)), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(title, &release);
  EXPECT_EQ(window.pos(), start + QPoint(30, 17));
}
