// The 3D results window drawn for real. Needs an OpenGL context (under Xvfb
// with Mesa, which the test command starts); without one the picture tests
// skip on a developer's machine and fail in CI (CI=true), so a run that drew
// nothing never passes there. Pictures are written to the screenshot folder
// for inspection.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTest>
#include <cstdlib>

#include "calib/CalibrationProblem.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "support/SyntheticStore.h"
#include "support/TestPaths.h"
#include "view3d/Calib3DScene.h"
#include "view3d/Calib3DView.h"
#include "widgets/HoverButtonEx.h"

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

bool InContinuousIntegration() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && (std::string(ci) == "true" || std::string(ci) == "1");
}

void SaveScreenshot(const QImage& image, const QString& name) {
  const QString folder = QString(TestScreenshotDir());
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
    const bool available = OpenGLAvailable();
    if (!available && InContinuousIntegration())
      FAIL() << "no OpenGL context on this display (" << QGuiApplication::platformName().toStdString()
             << "): the picture tests need the X server the test command starts";
    if (!available) GTEST_SKIP() << "no OpenGL context on this display";
    window_ = std::make_unique<CCalib3DScene>(&store_, std::string(TestGraphicsParent()));
    window_->ShowResults();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QCoreApplication::processEvents();
    if (!window_->HasOpenGL() && InContinuousIntegration()) FAIL() << "the view got no usable OpenGL context";
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
    ASSERT_TRUE(AddSyntheticRig(store_, rig));
    CalibrationProblem& problem = store_.GetCalibrationProblem(0);
    ASSERT_TRUE(problem.Calibrate(*store_.GetGridPointLists(0), rig.grid, 640, 480));
    ASSERT_TRUE(window_->SetCalibrationResults(0));
  }

  // The bundled sample workspace (10 views of a 9 x 6 grid of 30 mm
  // squares), calibrated as the data panel does it.
  void CalibrateSampleWorkspace() {
    const WorkspaceResult loaded = LoadWorkspace(store_, std::string(TestSourceDir()) + "/samples/workspace.txt");
    ASSERT_TRUE(loaded.ok) << loaded.error;
    const ViewPixels image = store_.GetViewImage(0, 0);
    ASSERT_NE(image, nullptr);
    CalibrationProblem& problem = store_.GetCalibrationProblem(0);
    ASSERT_TRUE(problem.Calibrate(*store_.GetGridPointLists(0), store_.GetGrid(0), image->cols, image->rows));
  }

  // Where the scene's points fall in the view for the current mode, with
  // the world as the mouse left it.
  std::vector<QPointF> Projected(const std::vector<D3D::Vector3>& points) {
    const D3D::SceneContent& content = window_->Content();
    auto lock = content.Lock();
    const D3D::SceneMatrices m = content.SetUpMatricesLocked(window_->View()->World());
    const QSize size = window_->View()->size();
    const D3D::Viewport viewport{0, 0, size.width(), size.height(), m.nearPlane, m.farPlane};
    std::vector<QPointF> projected;
    for (const D3D::Vector3& p : points) {
      const D3D::Vector3 s = D3D::Project(p, viewport, m.product);
      projected.emplace_back(s.x, s.y);
    }
    return projected;
  }

  std::vector<D3D::Vector3> MeshPoints() {
    std::vector<D3D::Vector3> points;
    for (const D3D::GridMesh& mesh : window_->Content().Meshes())
      for (const D3D::MeshVertex& v : mesh.vertices) points.push_back({v.x, v.y, v.z});
    return points;
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

TEST_F(Calib3DPicture, SampleWorkspaceShowsItsOwnGridFramedInBothModesAndAgainAfterASecondRun) {
  CalibrateSampleWorkspace();
  ASSERT_TRUE(window_->SetCalibrationResults(0));
  const D3D::SceneContent& content = window_->Content();
  ASSERT_EQ(content.Meshes().size(), 10u);
  ASSERT_EQ(content.GridTextures().size(), 1u);
  // 9 x 6 points of 30 mm: 8 x 5 squares of 30 texels, the board 240 mm wide.
  EXPECT_EQ(content.GridTextures()[0].size(), QSize(240, 150));
  const D3D::GridMesh& mesh = content.Meshes()[0];
  ASSERT_EQ(mesh.columns, 9);
  ASSERT_EQ(mesh.rows, 6);
  const D3D::MeshVertex& a = mesh.vertices[0];
  const D3D::MeshVertex& b = mesh.vertices[8];
  EXPECT_NEAR(std::hypot(a.x - b.x, a.y - b.y, a.z - b.z), 240.0, 1e-3);

  const QImage cameraCentred = Picture("10_sample_camera_centred");
  const QSize view = window_->View()->size();
  // Every grid corner is in the picture, and the grids fill a good part of it.
  QRectF spread;
  for (const QPointF& p : Projected(MeshPoints())) {
    EXPECT_TRUE(QRectF(QPointF(0, 0), QSizeF(view)).contains(p)) << p.x() << "," << p.y();
    spread = spread.isNull() ? QRectF(p, QSizeF(1, 1)) : spread.united(QRectF(p, QSizeF(1, 1)));
  }
  EXPECT_GT(std::max(spread.width(), spread.height()), 0.2 * view.width());
  EXPECT_GT(CountColours(cameraCentred).dark, 500) << "black squares";

  // "Move world": every corner label fits in the picture.
  window_->MoveWorld();
  Picture("11_sample_camera_centred_moved");
  const QFontMetrics metrics(QFont(QStringLiteral("Verdana"), 8));
  std::vector<D3D::Vector3> corners;
  for (int k = 0; k < 8; ++k) corners.push_back(D3D::BoxCorner(content.MeshBox(), k));
  const std::vector<QPointF> labels = Projected(corners);
  for (int k = 0; k < 8; ++k) {
    const QRectF text(labels[k].x(), labels[k].y() - metrics.ascent(),
                      metrics.horizontalAdvance(QString::fromStdString(content.MeshBox().labels[k])), metrics.height());
    EXPECT_TRUE(QRectF(QPointF(0, 0), QSizeF(view)).contains(text)) << content.MeshBox().labels[k];
  }

  window_->ToggleViewMode();
  const QImage objectCentred = Picture("12_sample_object_centred");
  std::vector<D3D::Vector3> pyramidPoints;
  for (const D3D::CameraPyramid& pyramid : content.Pyramids())
    pyramidPoints.insert(pyramidPoints.end(), pyramid.points.begin(), pyramid.points.end());
  for (const QPointF& p : Projected(pyramidPoints))
    EXPECT_TRUE(QRectF(QPointF(0, 0), QSizeF(view)).contains(p)) << p.x() << "," << p.y();
  EXPECT_GT(CountColours(objectCentred).blue, 300) << "pyramid edges";

  // A second run of the same camera replaces the scene instead of adding to it.
  window_->ToggleViewMode();
  ASSERT_TRUE(window_->SetCalibrationResults(0));
  EXPECT_EQ(content.Meshes().size(), 10u);
  EXPECT_EQ(content.Pyramids().size(), 10u);
  EXPECT_EQ(content.Thumbnails().size(), 10u);
  EXPECT_EQ(content.GridTextures().size(), 1u);
  // The same picture as after the first run (line smoothing may touch a
  // few pixels of the axes differently).
  const QImage second = Picture("13_sample_second_run").convertToFormat(QImage::Format_RGB32);
  const QImage first = cameraCentred.convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(second.size(), first.size());
  int differing = 0;
  for (int y = 0; y < first.height(); ++y)
    for (int x = 0; x < first.width(); ++x) differing += first.pixel(x, y) != second.pixel(x, y) ? 1 : 0;
  EXPECT_LT(differing, first.width() * first.height() / 200);
}

TEST_F(Calib3DPicture, ViewsLeftOutOfTheRunAreNotDrawnAndANewCameraReplacesTheOld) {
  CalibrateSyntheticCamera();
  // Another camera with a different grid, one of its views incomplete.
  SyntheticOptions options;
  options.views = 7;
  options.grid = GridDescription{20, 20, 6, 5, 5, 5};
  options.render.supersampling = 1;
  const SyntheticRig rig = MakeSyntheticRig(options);
  ASSERT_TRUE(AddSyntheticRig(store_, rig));
  store_.GetGridPoints(1, 4)->pop_back();
  CalibrationProblem& problem = store_.GetCalibrationProblem(1);
  ASSERT_TRUE(problem.Calibrate(*store_.GetGridPointLists(1), rig.grid, 640, 480));
  ASSERT_EQ(problem.usedViews.size(), 6u);

  ASSERT_TRUE(window_->SetCalibrationResults(1));
  const D3D::SceneContent& content = window_->Content();
  EXPECT_EQ(content.Meshes().size(), 6u);
  EXPECT_EQ(content.Pyramids().size(), 6u);
  EXPECT_EQ(content.Thumbnails().size(), 6u);
  ASSERT_EQ(content.GridTextures().size(), 1u);
  EXPECT_EQ(content.GridTextures()[0].size(), QSize(5 * 20, 4 * 20));
  EXPECT_EQ(content.Meshes()[0].columns, 6);
  const QImage picture = Picture("14_other_camera_views_left_out");
  EXPECT_GT(CountColours(picture).dark, 100);
  for (const QPointF& p : Projected(MeshPoints()))
    EXPECT_TRUE(QRectF(QPointF(0, 0), QSizeF(window_->View()->size())).contains(p));
}

// A fisheye seeing 160 degrees across, calibrated with its own model, draws
// its grids and pyramids like any other camera (pictures to look at).
TEST_F(Calib3DPicture, AFisheyeCameraShowsItsGridsAndPyramids) {
  SyntheticOptions options;
  options.views = 8;
  options.camera = TypicalSyntheticCamera(LensModel::Fisheye, 640, 480, 160.0);
  options.render.supersampling = 1;
  const SyntheticRig rig = MakeSyntheticRig(options);
  ASSERT_TRUE(AddSyntheticRig(store_, rig));
  CalibrationProblem& problem = store_.GetCalibrationProblem(0);
  problem.settings.model = LensModel::Fisheye;
  ASSERT_TRUE(problem.Calibrate(*store_.GetGridPointLists(0), rig.grid, 640, 480)) << problem.refusal;
  ASSERT_EQ(problem.refined.model, LensModel::Fisheye);
  ASSERT_TRUE(window_->SetCalibrationResults(0));
  ASSERT_EQ(window_->Content().Pyramids().size(), 8u);
  window_->MoveWorld();
  EXPECT_GT(CountColours(Picture("17_fisheye_camera_centred")).dark, 50) << "black squares of the grids";
  window_->ToggleViewMode();
  EXPECT_GT(CountColours(Picture("18_fisheye_object_centred")).blue, 200) << "pyramid edges";
}

TEST_F(Calib3DPicture, ADragAcrossTheViewTurnsAboutHalfATurn) {
  CalibrateSyntheticCamera();
  Picture("15_before_drag");
  QWidget* view = window_->View();
  const int y = view->height() / 2;
  QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(0, y));
  QMouseEvent move(QEvent::MouseMove, QPointF(view->width(), y), view->mapToGlobal(QPointF(view->width(), y)),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(view->width(), y));
  const D3D::Vector3 turned = D3D::TransformCoord({1, 0, 0}, window_->View()->Rotation());
  EXPECT_NEAR(turned.x, -1.0, 0.02) << "half a turn about the vertical";
  EXPECT_NEAR(turned.y, 0.0, 1e-9);
  // The turn is about the scene's centre, so the grids stay in the picture.
  const ColourCounts after = CountColours(Picture("16_after_half_turn"));
  EXPECT_GT(after.dark, 50);
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
  CCalib3DScene window(&store, std::string(TestGraphicsParent()));
  qunsetenv("LENTORA_NO_OPENGL");
  EXPECT_EQ(window.View(), nullptr);
  EXPECT_FALSE(window.HasOpenGL());
  EXPECT_FALSE(window.SetCalibrationResults(3));  // no such camera: an empty scene
  store.AddCamera();
  EXPECT_FALSE(window.SetCalibrationResults(0));  // never calibrated
  window.MoveWorld();
  window.ToggleViewMode();
  window.ShowResults();
  EXPECT_TRUE(window.GrabPicture().isNull());
  const QImage shot = window.GrabWindow();
  SaveScreenshot(shot, "00_no_opengl_window");
  EXPECT_EQ(window.Content().ViewCount(), 0);
  EXPECT_EQ(window.Content().Thumbnails().size(), 0u);
  // The view area is white with dark message text, not left undrawn.
  const QImage area = shot.copy(window.ViewArea());
  const ColourCounts c = CountColours(area);
  EXPECT_GT(c.white, area.width() * area.height() / 2);
  EXPECT_GT(c.dark, 20);
}

TEST(Calib3DWindow, OpensBesideTheMainWindowWhereTheScreenHasRoom) {
  const QRect screen(0, 0, 1600, 1200);
  const QSize size(560, 610);
  auto place = [&](const QRect& main, const QRect& available = QRect(0, 0, 1600, 1200)) {
    const SideBySide plan = PlaceBeside(main, size, available);
    return std::pair{plan.window, plan.main};
  };
  // Right of the main window, top edges level; the main window stays.
  EXPECT_EQ(place(QRect(20, 30, 900, 700)), std::pair(QPoint(20 + 900 + 8, 30), QPoint(20, 30)));
  // No room on the right: on the left.
  EXPECT_EQ(place(QRect(900, 30, 600, 700)), std::pair(QPoint(900 - 8 - 560, 30), QPoint(900, 30)));
  // A main window in the middle, with room on neither side although the
  // screen holds both: it moves aside just enough, never under the window.
  EXPECT_EQ(place(QRect(535, 100, 530, 780)), std::pair(QPoint(1600 - 560, 100), QPoint(1600 - 560 - 8 - 530, 100)));
  EXPECT_EQ(place(QRect(560, 100, 530, 780)), std::pair(QPoint(0, 100), QPoint(560 + 8, 100)));
  // Too wide for side by side: above or below it.
  EXPECT_EQ(place(QRect(100, 900, 1300, 200)), std::pair(QPoint(100, 900 - 8 - 610), QPoint(100, 900)));
  EXPECT_EQ(place(QRect(300, 0, 1300, 500)), std::pair(QPoint(300, 508), QPoint(300, 0)));
  // A screen too small for both in either direction: the roomier side, on the screen.
  EXPECT_EQ(place(QRect(100, 50, 600, 500), QRect(0, 0, 800, 600)), std::pair(QPoint(240, 0), QPoint(100, 50)));
  for (const QRect& main : {QRect(20, 30, 900, 700), QRect(900, 30, 600, 700), QRect(535, 100, 530, 780),
                            QRect(100, 900, 1300, 200), QRect(300, 0, 1300, 500)}) {
    const auto [window, moved] = place(main);
    EXPECT_FALSE(QRect(window, size).intersects(QRect(moved, main.size()))) << main.x() << "," << main.y();
    EXPECT_TRUE(screen.contains(QRect(window, size))) << main.x() << "," << main.y();
    EXPECT_TRUE(screen.contains(QRect(moved, main.size()))) << main.x() << "," << main.y();
  }

  Application();
  qputenv("LENTORA_NO_OPENGL", "1");
  QWidget main;
  main.setGeometry(10, 10, 400, 300);
  main.show();
  CCalibrationData store;
  auto* window = new CCalib3DScene(&store, std::string(TestGraphicsParent()), &main);
  qunsetenv("LENTORA_NO_OPENGL");
  window->ShowResults();
  const QRect available = main.screen()->availableGeometry();
  EXPECT_EQ(window->pos(), PlaceBeside(main.frameGeometry(), window->size(), available).window);
  if (available.width() >= main.frameGeometry().right() + 8 + window->width()) {
    EXPECT_FALSE(window->frameGeometry().intersects(main.frameGeometry()));
  }
}

TEST(Calib3DWindow, LayoutButtonsAndCommands) {
  Application();
  qputenv("LENTORA_NO_OPENGL", "1");
  CCalibrationData store;
  CCalib3DScene window(&store, std::string(TestGraphicsParent()));
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
  CCalib3DScene window(&store, std::string(TestGraphicsParent()));
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
