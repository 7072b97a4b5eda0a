// Guidance in a source's preview: the board is looked for in the frames shown
// (the virtual rig as the live source), its outline and the coverage bars are
// drawn, frames whose board adds coverage are captured when asked to, and a
// split stereo frame counts only when both halves show the board.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTest>
#include <cmath>
#include <cstdlib>

#include "app/LiveCoverage.h"
#include "app/ViewGuidance.h"
#include "core/CalibrationData.h"
#include "sources/media/VirtualRig.h"
#include "support/GuidanceViews.h"
#include "support/TestPaths.h"
#include "synth/BoardRenderer.h"
#include "ui/LiveGuidance.h"
#include "ui/EventPump.h"
#include "ui/UiTestSupport.h"
#include "ui/VideoCaptureControl.h"
#include "widgets/HoverButtonEx.h"

namespace {

using namespace guidance_views;

int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

// Options for one test, restored after it.
class ScopedGuidanceOptions {
 public:
  explicit ScopedGuidanceOptions(const LiveGuidanceOptions& options) : saved_(CurrentLiveGuidanceOptions()) {
    SetLiveGuidanceOptions(options);
  }
  ~ScopedGuidanceOptions() { SetLiveGuidanceOptions(saved_); }

 private:
  LiveGuidanceOptions saved_;
};

LiveGuidanceOptions AutoCapture(bool on) {
  LiveGuidanceOptions options;
  options.autoCapture = on;
  return options;
}

// Searches every frame offered while none is in flight.
constexpr LiveSearchPacing kEveryFrame{0.0, 0.0};

// Searches one frame and waits for its result.
void Search(CLiveGuidance& guidance, const cv::Mat& frame) {
  const int finished = guidance.SearchesFinished();
  ASSERT_FALSE(guidance.Searching());
  guidance.OfferFrame(frame);
  ASSERT_TRUE(PumpUntil([&] { return guidance.SearchesFinished() > finished; }));
}

// Two spread poses whose boards lie well apart in the four measures.
std::pair<SyntheticPose, SyntheticPose> DistantPoses() {
  const std::vector<SyntheticPose> poses = SpreadPoses(12);
  const auto measures = [](const SyntheticPose& pose) {
    return MeasureBoard(ProjectGrid(Camera(), pose, kGrid), kGrid, 640, 480);
  };
  for (size_t j = 1; j < poses.size(); ++j)
    if (BoardDistance(measures(poses[0]), measures(poses[j])) > 3 * kDefaultAutoCaptureDistance)
      return {poses[0], poses[j]};
  ADD_FAILURE() << "no two distant poses";
  return {poses[0], poses[1]};
}

cv::Mat Render(const SyntheticPose& pose) { return RenderBoard(Camera(), pose, kGrid); }

class LiveGuidanceTest : public ::testing::Test, public WithApplication {
 protected:
  CLiveGuidance::Hooks MakeHooks() {
    CLiveGuidance::Hooks hooks;
    hooks.store = [this] { return &store; };
    hooks.settings = [this] { return settings; };
    hooks.viewsAdded = [this] { ++refreshes; };
    return hooks;
  }
  void AddCameras(int count, const GridDescription& grid) {
    for (int camera = 0; camera < count; ++camera) {
      store.AddCamera();
      store.SetGrid(camera, grid);
      settings.subViewCamera[static_cast<size_t>(camera)] = camera;
    }
  }

  CCalibrationData store;
  SourceSettings settings;
  int refreshes = 0;
};

}  // namespace

TEST_F(LiveGuidanceTest, AutoCaptureKeepsNewBoardsOnlyWithTheirCorners) {
  ScopedGuidanceOptions options(AutoCapture(true));
  AddCameras(1, kGrid);
  CLiveGuidance guidance(MakeHooks());
  guidance.SetPacing(kEveryFrame);
  const auto [first, second] = DistantPoses();
  const cv::Mat a = Render(first), b = Render(second);

  Search(guidance, a);
  ASSERT_EQ(store.GetViewCount(0), 1);
  EXPECT_EQ(store.GetPointCount(0, 0), kGrid.nx * kGrid.ny);
  EXPECT_TRUE(store.ViewHasPoints(0, 0));
  EXPECT_EQ(UsablePointLists(store, 0).size(), 1u);
  EXPECT_EQ(refreshes, 1);
  // The corners stored are where the board is.
  const PointList truth = ProjectGrid(Camera(), first, kGrid);
  const PointList stored = UsablePointLists(store, 0)[0];
  double nearest = 1e9;
  for (const ImagePoint& p : truth) nearest = std::min(nearest, std::hypot(p.x - stored[0].x, p.y - stored[0].y));
  EXPECT_LT(nearest, 0.5);

  // The same board again, and again: nothing new, nothing added.
  Search(guidance, a);
  Search(guidance, a.clone());
  EXPECT_EQ(store.GetViewCount(0), 1);
  EXPECT_FALSE(guidance.Shown().addsCoverage);

  Search(guidance, b);
  EXPECT_EQ(store.GetViewCount(0), 2);
  Search(guidance, b);
  Search(guidance, a);
  EXPECT_EQ(store.GetViewCount(0), 2);
  EXPECT_EQ(guidance.ViewsCaptured(), 2);
  // A view left out of runs no longer counts: its board is new again.
  store.DisableView(0, 0);
  Search(guidance, a);
  EXPECT_EQ(store.GetViewCount(0), 3);

  // A frame without a board adds nothing and shows no outline.
  Search(guidance, cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 90, 90)));
  EXPECT_EQ(store.GetViewCount(0), 3);
  EXPECT_TRUE(guidance.Shown().outlines.empty());
}

TEST_F(LiveGuidanceTest, WithoutAutoCaptureTheStoreIsOnlyRead) {
  ScopedGuidanceOptions options(AutoCapture(false));
  AddCameras(1, kGrid);
  CLiveGuidance guidance(MakeHooks());
  guidance.SetPacing(kEveryFrame);
  const SyntheticPose pose = DistantPoses().first;
  Search(guidance, Render(pose));
  EXPECT_EQ(store.GetViewCount(0), 0);
  const LiveGuidanceShown& shown = guidance.Shown();
  ASSERT_TRUE(shown.active);
  ASSERT_EQ(shown.outlines.size(), 1u);
  EXPECT_TRUE(shown.addsCoverage);
  // The bars are those of the camera with this frame's board.
  EXPECT_TRUE(shown.withFrame);
  EXPECT_TRUE(shown.coverage.valid);
  EXPECT_GT(shown.coverage.share, 0.0);
  EXPECT_EQ(shown.verdict, "More views needed: not calibrated yet");
  // The outline is the board's outer corners, as the rough look places them.
  const PointList truth = ProjectGrid(Camera(), pose, kGrid);
  for (const cv::Point2f& corner : shown.outlines[0]) {
    double nearest = 1e9;
    for (const ImagePoint& p : truth) nearest = std::min(nearest, std::hypot(p.x - corner.x, p.y - corner.y));
    EXPECT_LT(nearest, 1.5);
  }
}

TEST_F(LiveGuidanceTest, SplitStereoFrameCountsOnlyWithTheBoardInBothHalves) {
  ScopedGuidanceOptions options(AutoCapture(true));
  settings.split = kSplitStereo;
  AddCameras(2, kGrid);
  CLiveGuidance guidance(MakeHooks());
  guidance.SetPacing(kEveryFrame);
  const auto [first, second] = DistantPoses();
  const cv::Mat left = Render(first), right = Render(second);
  const cv::Mat blank(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
  cv::Mat oneSided, twoSided, otherSide;
  cv::hconcat(left, blank, oneSided);
  cv::hconcat(blank, right, otherSide);
  cv::hconcat(left, right, twoSided);

  Search(guidance, oneSided);
  EXPECT_EQ(store.GetViewCount(0), 0);
  EXPECT_EQ(store.GetViewCount(1), 0);
  EXPECT_FALSE(guidance.Shown().addsCoverage);
  EXPECT_EQ(guidance.Shown().missing, (std::vector<bool>{false, true}));
  EXPECT_EQ(guidance.Shown().outlines.size(), 1u);

  Search(guidance, otherSide);
  EXPECT_EQ(store.GetViewCount(0), 0);
  EXPECT_EQ(store.GetViewCount(1), 0);
  // The right half's outline is drawn in the right half of the frame.
  ASSERT_EQ(guidance.Shown().outlines.size(), 1u);
  for (const cv::Point2f& corner : guidance.Shown().outlines[0]) EXPECT_GE(corner.x, 640.0f);

  Search(guidance, twoSided);
  EXPECT_EQ(store.GetViewCount(0), 1);
  EXPECT_EQ(store.GetViewCount(1), 1);
  EXPECT_EQ(store.GetPointCount(1, 0), kGrid.nx * kGrid.ny);
  EXPECT_EQ(store.GetImageWidth(0), 640);
}

// Frames offered sooner after a search than the pacing allows are shown and
// not searched.
TEST_F(LiveGuidanceTest, FramesTooSoonAfterASearchArePassedBy) {
  ScopedGuidanceOptions options(AutoCapture(false));
  AddCameras(1, kGrid);
  CLiveGuidance guidance(MakeHooks());
  guidance.SetPacing({60000.0, 0.25});
  const cv::Mat frame = Render(DistantPoses().first);
  Search(guidance, frame);
  guidance.OfferFrame(frame);
  EXPECT_FALSE(guidance.Searching());
  EXPECT_EQ(guidance.SearchesStarted(), 1);
  EXPECT_EQ(guidance.FramesPassedBy(), 1);
  guidance.SetPacing(kEveryFrame);
  Search(guidance, frame);
  EXPECT_EQ(guidance.SearchesStarted(), 2);
  EXPECT_TRUE(guidance.Shown().active);
}

TEST_F(LiveGuidanceTest, AResultForAGridChangedMeanwhileIsDropped) {
  ScopedGuidanceOptions options(AutoCapture(true));
  AddCameras(1, kGrid);
  CLiveGuidance guidance(MakeHooks());
  guidance.SetPacing(kEveryFrame);
  guidance.OfferFrame(Render(DistantPoses().first));
  GridDescription other = kGrid;
  other.nx = 7;
  store.SetGrid(0, other);
  ASSERT_TRUE(PumpUntil([&] { return guidance.SearchesFinished() > 0; }));
  EXPECT_EQ(store.GetViewCount(0), 0);
  EXPECT_FALSE(guidance.Shown().active);
}

class LivePreviewGuidance : public LiveGuidanceTest {
 protected:
  void SetUp() override {
    setenv(kVirtualRigVariable, "size=640x480", 1);
    SetSourceMessageHandler([this](const QString& text) { messages << text; });
    device = DeviceNumber(kVirtualLeftName);
    ASSERT_GT(device, 0);
    VirtualRig rig;
    ASSERT_EQ(VirtualRigFromEnvironment(rig), "");
    grid = rig.grid;
  }
  void TearDown() override {
    SetSourceMessageHandler({});
    unsetenv(kVirtualRigVariable);
  }
  std::unique_ptr<CVideoCaptureControl> MakeControl() {
    auto control = std::make_unique<CVideoCaptureControl>(nullptr, 100123);
    control->SetApplicationFolder(TestGraphicsParent());
    control->SetStore(&store);
    control->SetFirstCamera(0);
    control->SetDataPanelRefresh([this] { ++refreshes; });
    control->resize(420, 300);
    control->Layout();
    return control;
  }

  GridDescription grid;
  QStringList messages;
  int device = 0;
};

TEST_F(LivePreviewGuidance, PreviewSearchesTheVirtualRigAndDrawsTheBoardsOutline) {
  ScopedGuidanceOptions options(AutoCapture(false));
  AddCameras(1, grid);
  auto control = MakeControl();
  control->show();
  ASSERT_TRUE(control->Connect(device));
  CLiveGuidance* guidance = control->Guidance();
  ASSERT_NE(guidance, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !guidance->Shown().outlines.empty(); }));
  EXPECT_EQ(store.GetViewCount(0), 0);
  // The outline is drawn in its colour along the board's edge in the view.
  const LiveGuidanceShown shown = guidance->Shown();
  control->VideoView()->repaint();
  const QImage picture = control->VideoView()->grab().toImage();
  const QRect target = control->VideoView()->VideoRect();
  const cv::Point2f a = shown.outlines[0][0], b = shown.outlines[0][1];
  const cv::Point2f middle = 0.5f * (a + b);
  const QPoint at(target.left() + static_cast<int>((middle.x + 0.5) * target.width() / shown.frameSize.width()),
                  target.top() + static_cast<int>((middle.y + 0.5) * target.height() / shown.frameSize.height()));
  bool green = false;
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      const QColor c = picture.pixelColor(at + QPoint(dx, dy));
      green = green || (c.green() > 180 && c.red() < 150 && c.blue() < 150);
    }
  EXPECT_TRUE(green) << "no outline at " << at.x() << ", " << at.y();
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(LivePreviewGuidance, AutoCaptureOnTheVirtualRigAddsOnlyBoardsThatDiffer) {
  ScopedGuidanceOptions options(AutoCapture(true));
  AddCameras(1, grid);
  auto control = MakeControl();
  control->show();
  ASSERT_TRUE(control->Connect(device));
  ASSERT_TRUE(PumpUntil([&] { return store.GetViewCount(0) >= 3; }, 60000));
  // The picture is taken as a result comes in, so the frame shown is at most a
  // frame or two later than the one its outline was found in.
  QPixmap picture;
  const QMetaObject::Connection grab = QObject::connect(control->Guidance(), &CLiveGuidance::updated, [&] {
    if (!picture.isNull() || !control->Guidance()->Shown().active) return;
    control->VideoView()->repaint();
    picture = control->grab();
  });
  ASSERT_TRUE(PumpUntil([&] { return !picture.isNull(); }));
  QObject::disconnect(grab);
  control->OnStop();
  QCoreApplication::processEvents();
  ASSERT_TRUE(PumpUntil([&] { return !control->Guidance()->Searching(); }));
  // Every captured view holds its corners, and no two lie within the distance.
  const std::vector<PointList> views = UsablePointLists(store, 0);
  EXPECT_EQ(static_cast<int>(views.size()), store.GetViewCount(0));
  for (size_t i = 0; i < views.size(); ++i)
    for (size_t j = i + 1; j < views.size(); ++j)
      EXPECT_GT(BoardDistance(MeasureBoard(views[i], grid, 640, 480), MeasureBoard(views[j], grid, 640, 480)),
                kDefaultAutoCaptureDistance)
          << i << ", " << j;
  EXPECT_GT(refreshes, 0);
  QDir().mkpath(TestScreenshotDir());
  EXPECT_TRUE(picture.save(QString(TestScreenshotDir()) + "/live_guidance_bars.png"));
}

TEST(LiveGuidanceOptionsDialog, OptionsKeepTheGuidanceSwitchesAndDistanceInTheSettings) {
  TestApplication();
  QTemporaryDir settingsFolder;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
  ScopedGuidanceOptions restore(LiveGuidanceOptions{});
  const ApplicationOptions loaded = LoadApplicationOptions();
  EXPECT_TRUE(loaded.live.detect);  // the defaults
  EXPECT_FALSE(loaded.live.autoCapture);
  EXPECT_DOUBLE_EQ(loaded.live.distance, kDefaultAutoCaptureDistance);

  ScriptedWorkbench window(TestGraphicsParent());
  window.optionsRunner = [](COptionsDlg& dialog) {
    EXPECT_FALSE(dialog.AutoCaptureDistanceField()->isEnabled()) << "the distance serves automatic capture alone";
    dialog.AutoCaptureBox()->setChecked(true);
    EXPECT_TRUE(dialog.AutoCaptureDistanceField()->isEnabled());
    dialog.AutoCaptureDistanceField()->setValue(0.35);
    QDir().mkpath(TestScreenshotDir());
    EXPECT_TRUE(dialog.grab().save(QString(TestScreenshotDir()) + "/options_live_guidance.png"));
    dialog.accept();
    return dialog.result() == QDialog::Accepted;
  };
  window.Button(CWorkbenchDlg::kIdOptions)->click();
  const QSettings settings = ApplicationSettings();
  EXPECT_TRUE(settings.value(kAutoCaptureKey).toBool());
  EXPECT_DOUBLE_EQ(settings.value(kAutoCaptureDistanceKey).toDouble(), 0.35);
  EXPECT_TRUE(CurrentLiveGuidanceOptions().autoCapture) << "the previews follow the dialog at once";
  EXPECT_DOUBLE_EQ(LoadLiveGuidanceOptions().distance, 0.35);

  // A distance that is no number keeps the default.
  QSettings(kSettingsOrganisation, kSettingsApplication).setValue(kAutoCaptureDistanceKey, "far");
  EXPECT_DOUBLE_EQ(LoadLiveGuidanceOptions().distance, kDefaultAutoCaptureDistance);
}
