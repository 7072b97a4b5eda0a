// The object editor driven like a user: clicks through the window, the side
// and bottom panel buttons and the grid properties dialog.
#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <cmath>
#include <functional>
#include <utility>

#include "UiTestSupport.h"
#include "synth/BoardRenderer.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "widgets/HoverButtonEx.h"
#include "ui/ObjectEditDlg.h"
#include "ui/ObjectProperties.h"
#include "widgets/StaticEx.h"
#include "support/TestPaths.h"

namespace {

class ScriptedEditor : public CObjectEditDlg {
 public:
  QStringList messages;
  QStringList questions;
  bool answerYes = false;
  // Plays the user's part in the properties dialog; returns its result.
  std::function<int(CObjectProperties&)> onProperties;

 protected:
  void ShowMessage(const QString& text) override { messages << text; }
  bool AskYesNo(const QString& text) override {
    questions << text;
    return answerYes;
  }
  int RunPropertiesDialog(CObjectProperties& dialog) override {
    return onProperties ? onProperties(dialog) : QDialog::Rejected;
  }
};

class ScriptedProperties : public CObjectProperties {
 public:
  QStringList messages;

 protected:
  void ShowValidationMessage(const QString& text) override { messages << text; }
};

const GridDescription kBoardGrid{30.0, 30.0, 9, 6, 5, 5};

// Three rendered chequerboard views of one camera, shared by all tests.
const SyntheticRig& Rig() {
  static const SyntheticRig rig = [] {
    SyntheticOptions options;
    options.views = 3;
    options.grid = kBoardGrid;
    options.render.blurSigma = 0.6;
    options.render.supersampling = 2;
    return MakeSyntheticRig(options);
  }();
  return rig;
}

double Distance(const ImagePoint& a, const ImagePoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

struct EditorSetup : WithApplication {
  EditorSetup() {
    for (int c = 0; c < 2; ++c) store.AddCamera();
    for (const cv::Mat& image : Rig().cameras[0].images) store.AddViewFromFrame(0, image.clone());
    store.SetGrid(0, kBoardGrid);
    store.AddViewFromFrame(1, Rig().cameras[0].images[0].clone());  // camera 1 has no grid
    editor.SetApplicationFolder(TestGraphicsParent());
    editor.SetData(&store);
    editor.Create();
    editor.move(30, 30);
  }

  // Window point over image point p of the shown view.
  QPoint Over(const ImagePoint& p) const {
    const double sx = double(editor.ImageArea().width()) / store.GetImageWidth(0);
    const double sy = double(editor.ImageArea().height()) / store.GetImageHeight(0);
    return editor.ImageAreaInWindow().topLeft() + QPoint(qRound(p.x * sx), qRound(p.y * sy));
  }
  // The outer corners going round the grid, the object origin (last row,
  // first column) first.
  std::vector<ImagePoint> OuterCorners(int view) const {
    const PointList& exact = Rig().cameras[0].exactPoints[view];
    const int nx = kBoardGrid.nx, last = kBoardGrid.nx * kBoardGrid.ny - 1;
    return {exact[last - nx + 1], exact[last], exact[nx - 1], exact[0]};
  }
  void Click(QPoint windowPoint) { QTest::mouseClick(editor.windowHandle(), Qt::LeftButton, {}, windowPoint); }
  void MarkView(int view) {
    for (const ImagePoint& p : OuterCorners(view)) Click(Over(p));
  }
  void OpenWithSelection() {
    editor.OpenOn(0);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
    editor.Button(CObjectEditDlg::kIdSelect)->click();
    ASSERT_TRUE(editor.SelectionMode());
  }

  CCalibrationData store;
  ScriptedEditor editor;
};

struct Editor : EditorSetup, ::testing::Test {};

TEST_F(Editor, BuildsEveryControlWithItsTooltipAndGraphic) {
  EXPECT_TRUE(editor.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_FALSE(editor.isVisible());
  EXPECT_EQ(editor.Camera(), -1);
  EXPECT_EQ(editor.View(), -1);
  EXPECT_TRUE(editor.ShowPoints());
  auto* title = static_cast<CStaticEx*>(editor.Control(CObjectEditDlg::kIdTitle));
  EXPECT_EQ(title->Text(), " Calibration Object Editor \n Lentora");
  EXPECT_EQ(editor.TitleRect(), QRect(0, 0, editor.width(), title->height()));
  const struct {
    int id;
    const char* tooltip;
  } expected[] = {{CObjectEditDlg::kIdClose, "Close"},
                  {CObjectEditDlg::kIdDock, "Dock"},
                  {CObjectEditDlg::kIdSelect, "Select border points"},
                  {CObjectEditDlg::kIdReset, "Reset points"},
                  {CObjectEditDlg::kIdGridProperties, "Calibration grid properties"},
                  {CObjectEditDlg::kIdMoreDistortion, "More distortion"},
                  {CObjectEditDlg::kIdLessDistortion, "Less distortion"},
                  {CObjectEditDlg::kIdPrevious, "Previous image"},
                  {CObjectEditDlg::kIdNext, "Next image"}};
  for (const auto& entry : expected) {
    CHoverButtonEx* button = editor.Button(entry.id);
    ASSERT_NE(button, nullptr) << entry.id;
    EXPECT_EQ(button->TooltipText(), entry.tooltip);
    EXPECT_TRUE(button->HasImage()) << entry.tooltip;
    EXPECT_TRUE(button->isVisibleTo(&editor));
  }
  EXPECT_EQ(editor.Button(CObjectEditDlg::kIdClose)->pos(), QPoint(editor.width() - 25, 2));
  const QPoint side = editor.Control(CObjectEditDlg::kIdSidePanel)->pos();
  EXPECT_EQ(editor.Button(CObjectEditDlg::kIdLessDistortion)->pos(), side + QPoint(2, 5 + 4 * 39));
  const QPoint bottom = editor.Control(CObjectEditDlg::kIdBottomPanel)->pos();
  EXPECT_EQ(editor.Button(CObjectEditDlg::kIdNext)->pos(), bottom + QPoint(44, 2));
  for (int hidden : {CObjectEditDlg::kIdEstimate, CObjectEditDlg::kIdDistortionPlus, CObjectEditDlg::kIdDistortionMinus})
    EXPECT_FALSE(editor.Control(hidden)->isVisibleTo(&editor)) << hidden;
}

TEST_F(Editor, FourClicksEstimateTheGridAndAFifthIsIgnoredUntilReset) {
  OpenWithSelection();
  // Only the first click fixes the order; the others may come in any order.
  std::vector<ImagePoint> outer = OuterCorners(0);
  std::swap(outer[1], outer[2]);
  for (int k = 0; k < 3; ++k) {
    Click(Over(outer[k]));
    ASSERT_EQ(store.GetBorderPoints(0, 0)->size(), size_t(k + 1));
    EXPECT_LT(Distance((*store.GetBorderPoints(0, 0))[k], outer[k]), 0.3) << "click " << k;
  }
  EXPECT_EQ(store.GetPointCount(0, 0), 0);
  Click(Over(outer[3]));
  ASSERT_TRUE(editor.messages.isEmpty()) << editor.messages.join("\n").toStdString();
  const PointList& exact = Rig().cameras[0].exactPoints[0];
  ASSERT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
  // Every corner in its place in the grid order (well under the 30-pixel
  // square pitch; the sub-pixel accuracy itself is the grid tests' concern).
  for (int i = 0; i < store.GetPointCount(0, 0); ++i)
    EXPECT_LT(Distance(store.GetPoint(0, 0, i), exact[i]), 0.3) << "corner " << i;
  EXPECT_TRUE(store.ViewHasPoints(0, 0));
  // Four magenta points, three lines between clicks and the closing line.
  EXPECT_EQ(editor.Marks().size(), 8u);

  Click(Over(outer[0]) + QPoint(7, 3));
  EXPECT_EQ(store.GetBorderPoints(0, 0)->size(), 4u);
  EXPECT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
  EXPECT_TRUE(editor.messages.isEmpty());

  editor.Button(CObjectEditDlg::kIdReset)->click();
  EXPECT_TRUE(store.GetBorderPoints(0, 0)->empty());
  EXPECT_EQ(store.GetPointCount(0, 0), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 0)) << "no points, no has-points flag";
  EXPECT_TRUE(editor.Marks().empty());
  MarkView(0);
  EXPECT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
}

TEST_F(Editor, ARedrawKeepsOnlyTheGridCornersAndOtherViewsStayUntouched) {
  OpenWithSelection();
  MarkView(0);
  ASSERT_FALSE(editor.Marks().empty());
  editor.Button(CObjectEditDlg::kIdNext)->click();
  EXPECT_TRUE(editor.Marks().empty());
  EXPECT_TRUE(store.GetBorderPoints(0, 1)->empty());
  EXPECT_TRUE(editor.SelectionMode()) << "the selection mode persists across views";
  MarkView(1);
  EXPECT_EQ(store.GetPointCount(0, 1), kBoardGrid.nx * kBoardGrid.ny);
  EXPECT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
}

TEST_F(Editor, ClicksCountOnlyInTheImageAreaWithTheSelectionModeOn) {
  editor.OpenOn(0);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  const QPoint inside = Over(OuterCorners(0)[0]);
  Click(inside);
  EXPECT_TRUE(store.GetBorderPoints(0, 0)->empty());
  editor.OnSelect();
  Click(editor.ImageAreaInWindow().topLeft() - QPoint(3, 3));
  Click(editor.ImageAreaInWindow().bottomRight() + QPoint(3, 3));
  EXPECT_TRUE(store.GetBorderPoints(0, 0)->empty());
  Click(inside);
  EXPECT_EQ(store.GetBorderPoints(0, 0)->size(), 1u);
}

TEST_F(Editor, SelectToggledOnlyForAShownCameraWithAGrid) {
  editor.OnSelect();
  EXPECT_FALSE(editor.SelectionMode()) << "no camera shown";
  editor.OpenOn(1);
  editor.OnSelect();
  EXPECT_FALSE(editor.SelectionMode()) << "camera without a grid";
  editor.OpenOn(0);
  editor.OnSelect();
  EXPECT_TRUE(editor.SelectionMode());
  EXPECT_EQ(editor.cursor().hotSpot(), QPoint(15, 15));
  editor.OnSelect();
  EXPECT_FALSE(editor.SelectionMode());
  EXPECT_EQ(editor.cursor().shape(), Qt::ArrowCursor);
  editor.OnSelect();
  editor.Button(CObjectEditDlg::kIdClose)->click();
  EXPECT_FALSE(editor.isVisible());
  EXPECT_FALSE(editor.SelectionMode()) << "Close also ends the selection mode";
  EXPECT_EQ(editor.Camera(), 0) << "indices persist while hidden";
}

TEST_F(Editor, NextAndPreviousStopAtTheEnds) {
  editor.OnNext();
  EXPECT_EQ(editor.View(), -1);
  editor.OpenOn(0);
  EXPECT_EQ(editor.View(), 0);
  editor.Button(CObjectEditDlg::kIdPrevious)->click();
  EXPECT_EQ(editor.View(), 0);
  for (int k = 0; k < 5; ++k) editor.Button(CObjectEditDlg::kIdNext)->click();
  EXPECT_EQ(editor.View(), 2);
  editor.OnPrevious();
  EXPECT_EQ(editor.View(), 1);
  editor.OpenOn(0);
  EXPECT_EQ(editor.View(), 0) << "opening always starts at the first view";
}

TEST_F(Editor, TheWindowSettingDoesNotMoveTheMarkedCorners) {
  OpenWithSelection();
  MarkView(0);
  ASSERT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
  const PointList marked = *store.GetGridPoints(0, 0);
  GridDescription grid = kBoardGrid;
  grid.wx = 1;
  grid.wy = 1000;
  store.SetGrid(0, grid);
  editor.OnReset();
  MarkView(0);
  EXPECT_TRUE(editor.messages.empty()) << editor.messages.join("\n").toStdString();
  ASSERT_EQ(store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
  for (int k = 0; k < store.GetPointCount(0, 0); ++k) {
    EXPECT_NEAR(Distance(store.GetPoint(0, 0, k), marked[k]), 0.0, 1e-9) << "corner " << k;
    EXPECT_LT(Distance(store.GetPoint(0, 0, k), Rig().cameras[0].exactPoints[0][k]), 0.3) << "corner " << k;
  }
}

TEST_F(Editor, FailedEstimationIsReportedAndLeavesTheViewUnmarked) {
  // A one-row grid, as only a workspace file can give: clicks are taken, the
  // estimation is refused.
  GridDescription grid = kBoardGrid;
  grid.ny = 1;
  store.SetGrid(0, grid);
  OpenWithSelection();
  MarkView(0);
  EXPECT_EQ(store.GetBorderPoints(0, 0)->size(), 4u);
  EXPECT_EQ(store.GetPointCount(0, 0), 0);
  EXPECT_FALSE(store.ViewHasPoints(0, 0));
  ASSERT_EQ(editor.messages.size(), 1);
  EXPECT_TRUE(editor.messages[0].contains("Reset points")) << editor.messages[0].toStdString();
}

TEST_F(Editor, GridPropertiesShowSquaresAndStorePoints) {
  GridDescription grid = kBoardGrid;
  grid.nx = 8;
  grid.ny = 6;
  store.SetGrid(0, grid);
  editor.OpenOn(0);
  QString shownX, shownY;
  editor.onProperties = [&](CObjectProperties& dialog) {
    shownX = dialog.Field(CObjectProperties::kIdSquaresX)->text();
    shownY = dialog.Field(CObjectProperties::kIdSquaresY)->text();
    dialog.Field(CObjectProperties::kIdSquaresX)->setText("9");
    dialog.Field(CObjectProperties::kIdSquaresY)->setText("6");
    dialog.Field(CObjectProperties::kIdSizeX)->setText("25.5");
    dialog.Field(CObjectProperties::kIdWindowY)->setText("1000");
    dialog.accept();
    return dialog.result();
  };
  editor.Button(CObjectEditDlg::kIdGridProperties)->click();
  EXPECT_EQ(shownX, "7");
  EXPECT_EQ(shownY, "5");
  GridDescription stored = store.GetGrid(0);
  EXPECT_EQ(stored.nx, 10);
  EXPECT_EQ(stored.ny, 7);
  EXPECT_DOUBLE_EQ(stored.dX, 25.5);
  EXPECT_DOUBLE_EQ(stored.dY, 30.0);
  EXPECT_EQ(stored.wx, 5);
  EXPECT_EQ(stored.wy, 1000);

  editor.onProperties = [](CObjectProperties& dialog) {
    dialog.Field(CObjectProperties::kIdSquaresX)->setText("3");
    dialog.reject();
    return dialog.result();
  };
  editor.OnGridProperties();
  EXPECT_EQ(store.GetGrid(0).nx, 10) << "Cancel keeps the grid";
}

TEST_F(Editor, PointsThatNoLongerFitTheGridAreNamedAndClearedOnRequest) {
  for (int view = 0; view < 3; ++view) {
    *store.GetGridPoints(0, view) = Rig().cameras[0].exactPoints[view];
    store.SetViewHasPoints(0, view, 1);
  }
  editor.OpenOn(0);
  EXPECT_TRUE(editor.questions.isEmpty()) << "every view fits: nothing to ask";

  // The board is re-described one column smaller after marking.
  editor.onProperties = [](CObjectProperties& dialog) {
    dialog.Field(CObjectProperties::kIdSquaresX)->setText("7");
    dialog.accept();
    return dialog.result();
  };
  editor.Button(CObjectEditDlg::kIdGridProperties)->click();
  ASSERT_EQ(store.GetGrid(0).nx, 8);
  ASSERT_EQ(editor.questions.size(), 1);
  EXPECT_TRUE(editor.questions[0].contains("3 views")) << editor.questions[0].toStdString();
  EXPECT_TRUE(editor.questions[0].contains("8 x 6")) << editor.questions[0].toStdString();
  EXPECT_TRUE(editor.questions[0].contains("no part in calibration"));
  EXPECT_EQ(store.GetPointCount(0, 1), 54) << "No keeps the points";
  EXPECT_EQ(store.StaleViews(0), (std::vector<int>{0, 1, 2}));

  // Reopening on the camera asks again; Yes clears the points and the flags.
  editor.answerYes = true;
  editor.OpenOn(0);
  ASSERT_EQ(editor.questions.size(), 2);
  for (int view = 0; view < 3; ++view) {
    EXPECT_EQ(store.GetPointCount(0, view), 0);
    EXPECT_FALSE(store.ViewHasPoints(0, view));
  }
  EXPECT_TRUE(store.StaleViews(0).empty());
}

TEST(ObjectProperties, RefusesValuesOutsideTheirRangesAndKeepsTheDialogOpen) {
  TestApplication();
  const struct {
    int id;
    const char* text;
    bool accepted;
  } cases[] = {
      {CObjectProperties::kIdSquaresX, "2", true},     {CObjectProperties::kIdSquaresX, "1", false},
      {CObjectProperties::kIdSquaresY, "100", true},   {CObjectProperties::kIdSquaresY, "101", false},
      {CObjectProperties::kIdSizeX, "1", true},        {CObjectProperties::kIdSizeX, "0.99", false},
      {CObjectProperties::kIdSizeY, "10000", true},    {CObjectProperties::kIdSizeY, "10000.5", false},
      {CObjectProperties::kIdWindowX, "100", true},    {CObjectProperties::kIdWindowX, "101", false},
      {CObjectProperties::kIdWindowX, "0", false},     {CObjectProperties::kIdWindowY, "1000", true},
      {CObjectProperties::kIdWindowY, "1001", false},  {CObjectProperties::kIdSquaresX, "seven", false},
      {CObjectProperties::kIdSizeX, "nan", false},     {CObjectProperties::kIdSizeY, "", false},
      {CObjectProperties::kIdSquaresY, "4.5", false},
  };
  for (const auto& entry : cases) {
    ScriptedProperties dialog;
    dialog.SetGrid(kBoardGrid);
    dialog.Field(entry.id)->setText(entry.text);
    dialog.accept();
    const std::string label = std::to_string(entry.id) + " = '" + entry.text + "'";
    EXPECT_EQ(dialog.result() == QDialog::Accepted, entry.accepted) << label;
    EXPECT_EQ(dialog.messages.isEmpty(), entry.accepted) << label;
    if (!entry.accepted) {
      EXPECT_TRUE(dialog.messages[0].startsWith("Please enter")) << dialog.messages[0].toStdString();
      EXPECT_EQ(dialog.Grid().nx, kBoardGrid.nx) << "a refused edit changes nothing";
    }
  }
}

TEST(ObjectEditorWindow, CreatedHiddenByTheMainWindowAndOpenedOnTheFirstView) {
  TestApplication();
  ScriptedWorkbench window;
  CCalibrationData& store = window.Data();
  store.AddCamera();
  store.AddViewFromFrame(0, Rig().cameras[0].images[1].clone());
  store.AddViewFromFrame(0, Rig().cameras[0].images[2].clone());
  CObjectEditDlg* editor = CreateObjectEditor(&window, "", &store);
  EXPECT_FALSE(editor->isVisible());
  EXPECT_TRUE(editor->isWindow());
  window.PanelHooks().dataDoubleClick = [editor](QPoint) { editor->OpenOn(0); };
  editor->SetView(1);
  window.LeftButtonDoubleClick(window.LowerPanelRect().center());
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(editor->Camera(), 0);
  EXPECT_EQ(editor->View(), 0);
}

// The editor with a marked view, as a person sees it (run through
// scripts/ui_screenshots.sh for the real screen under Xvfb).
TEST(Screenshot, ObjectEditorWithAMarkedGrid) {
  EditorSetup setup;
  ScriptedEditor& editor = setup.editor;
  setup.OpenWithSelection();
  setup.MarkView(0);
  ASSERT_EQ(setup.store.GetPointCount(0, 0), kBoardGrid.nx * kBoardGrid.ny);
  const QImage picture = ScreenPicture(editor);
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/object_editor_marked.png"));
  // The red corner rings are in the picture, over the image area only.
  const qreal ratio = picture.devicePixelRatio();
  const QRect area = editor.ImageAreaInWindow();
  int red = 0;
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const QColor c = picture.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 60 && c.blue() < 60) {
        ++red;
        EXPECT_TRUE(area.contains(QPoint(int(x / ratio), int(y / ratio)))) << x << "," << y;
      }
    }
  EXPECT_GT(red, kBoardGrid.nx * kBoardGrid.ny * 4);
}


// A board turned 68 degrees away from the camera, its far squares a few
// pixels high, marked with four clicks a pixel off the outer corners: the
// screenshots show the three clicks and the grid the fourth one gives.
TEST(Screenshot, ObjectEditorOnASteepBoard) {
  constexpr double kPi = 3.14159265358979323846, kTilt = 68.0 * kPi / 180.0, kDistance = 640.0;
  const GridDescription grid{30.0, 30.0, 9, 6, 7, 7};  // the widest window a user may have set
  const SyntheticCamera camera;
  const double c = -std::cos(kTilt), s = std::sin(kTilt), centreX = 4 * 30.0, centreY = 2.5 * 30.0;
  const SyntheticPose pose = PoseFromVectors({kPi - kTilt, 0.0, 0.0}, {-centreX, -c * centreY, kDistance - s * centreY});
  const PointList exact = ProjectGrid(camera, pose, grid);
  RenderOptions render;
  render.blurSigma = 1.0;
  render.imageNoise = 2.0;
  WithApplication application;
  CCalibrationData store;
  store.AddCamera();
  ASSERT_TRUE(store.AddViewFromFrame(0, RenderBoard(camera, pose, grid, render)));
  store.SetGrid(0, grid);
  ScriptedEditor editor;
  editor.SetApplicationFolder(TestGraphicsParent());
  editor.SetData(&store);
  editor.Create();
  editor.move(30, 30);
  editor.OpenOn(0);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  editor.Button(CObjectEditDlg::kIdSelect)->click();
  const auto over = [&](const ImagePoint& p) {
    const double sx = double(editor.ImageArea().width()) / store.GetImageWidth(0);
    const double sy = double(editor.ImageArea().height()) / store.GetImageHeight(0);
    return editor.ImageAreaInWindow().topLeft() + QPoint(qRound(p.x * sx), qRound(p.y * sy));
  };
  const int nx = grid.nx, last = grid.nx * grid.ny - 1;
  const std::vector<ImagePoint> outer{exact[last - nx + 1], exact[last], exact[nx - 1], exact[0]};
  const auto save = [&](const char* name) {
    QDir().mkpath(TestScreenshotDir());
    EXPECT_TRUE(ScreenPicture(editor).save(QString(TestScreenshotDir()) + "/" + name));
  };
  for (int k = 0; k < 4; ++k) {
    QTest::mouseClick(editor.windowHandle(), Qt::LeftButton, {}, over(outer[k]));
    if (k == 2) save("object_editor_steep_three_clicks.png");
  }
  ASSERT_TRUE(editor.messages.isEmpty()) << editor.messages.join("\n").toStdString();
  ASSERT_EQ(store.GetPointCount(0, 0), nx * grid.ny);
  double farEdge = 1e9;
  for (int column = 0; column < nx; ++column) farEdge = std::min(farEdge, Distance(exact[column], exact[column + nx]));
  EXPECT_LT(farEdge, 12.0) << "the far squares are a few pixels high";
  for (int i = 0; i < store.GetPointCount(0, 0); ++i)
    EXPECT_LT(Distance(store.GetPoint(0, 0, i), exact[i]), 0.3) << "corner " << i;
  save("object_editor_steep_marked.png");
}

}  // namespace
