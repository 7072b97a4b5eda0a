// A calibration's refusal arrives in a real message box that the user can
// dismiss: never under the run's progress window, whether the refusal comes
// at once or after a run made slow on purpose, and however long the box
// stays open (the progress window's own timer must not bring it back).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <thread>

#include "UiTestSupport.h"
#include "synth/SyntheticViews.h"
#include "core/CalibrationData.h"
#include "ui/CalibrationRunner.h"
#include "ui/StaticDataView.h"

namespace {

bool AnyProgressWindowVisible() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (qobject_cast<QProgressDialog*>(window) && window->isVisible()) return true;
  return false;
}

QMessageBox* VisibleMessageBox() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(window); box && box->isVisible()) return box;
  return nullptr;
}

// A click as the window system delivers it, so that a window blocked by
// another modal window ignores it, as it would ignore the user's.
void ClickLikeTheUser(QMessageBox* box, QAbstractButton* button) {
  QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {}, button->mapTo(box, button->rect().center()));
}

// What happened to the next message box: looked at once `settleMs` after it
// came up, then its OK clicked like the user would.
struct BoxOutcome {
  bool seen = false;
  QString text;
  bool progressWindowOverIt = false;
  bool activeModal = false;
  bool dismissedByOk = false;
  bool checked = false;  // whether dismissedByOk has been found out
};

// Watches for the next message box; a box that its OK cannot close is closed
// by force afterwards, so a failing test ends instead of hanging.
void WatchNextMessageBox(BoxOutcome& outcome, int settleMs) {
  auto* poll = new QTimer();
  auto* sinceSeen = new QElapsedTimer();
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [poll, sinceSeen, &outcome, settleMs] {
    QMessageBox* box = VisibleMessageBox();
    if (!box) return;
    if (!sinceSeen->isValid()) sinceSeen->start();
    if (sinceSeen->elapsed() < settleMs) return;
    poll->stop();
    poll->deleteLater();
    delete sinceSeen;
    outcome.seen = true;
    outcome.text = box->text();
    outcome.progressWindowOverIt = AnyProgressWindowVisible();
    outcome.activeModal = QApplication::activeModalWidget() == box;
    ClickLikeTheUser(box, box->button(QMessageBox::Ok));
    QTimer::singleShot(500, [&outcome] {
      QMessageBox* still = VisibleMessageBox();
      outcome.dismissedByOk = still == nullptr;
      outcome.checked = true;
      if (!still) return;
      for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<QProgressDialog*>(window)) window->hide();
      still->done(QMessageBox::Ok);
    });
  });
  poll->start();
}

class RefusalMessageBoxes : public ::testing::Test, public WithApplication {
 protected:
  RefusalMessageBoxes() {
    panel.resize(470, 250);
    panel.Init();
    panel.SetStore(&store);
    panel.show();  // no prompts set: real message boxes
  }

  // A camera of `views` synthetic views whose points fit `grid`.
  void AddCalibratableCamera(int views) {
    SyntheticOptions options;
    options.views = views;
    options.grid = GridDescription{10.0, 10.0, 9, 6, 5, 5};
    options.renderImages = false;
    const SyntheticRig rig = MakeSyntheticRig(options);
    panel.NewCamera();
    const int camera = store.GetCameraCount() - 1;
    store.SetGrid(camera, rig.grid);
    const SyntheticCamera& truth = rig.cameras[0].camera;
    const cv::Mat image(truth.height, truth.width, CV_8UC3, cv::Scalar(60, 60, 60));
    for (size_t v = 0; v < rig.cameras[0].points.size(); ++v) {
      ASSERT_TRUE(store.AddViewFromFrame(camera, image));
      *store.GetGridPoints(camera, static_cast<int>(v)) = rig.cameras[0].points[v];
      store.SetViewHasPoints(camera, static_cast<int>(v), 1);
    }
  }

  // A camera of six views and no grid description.
  void AddCameraWithoutGrid() {
    panel.NewCamera();
    const int camera = store.GetCameraCount() - 1;
    for (int v = 0; v < 6; ++v) ASSERT_TRUE(store.AddViewFromFrame(camera, cv::Mat(48, 64, CV_8UC3, cv::Scalar(v, v, v))));
  }

  CCalibrationData store;
  CStaticDataView panel;
};

// The refusal comes at once; the box stays open past the progress window's
// own four-second timer, which used to show the window over it.
TEST_F(RefusalMessageBoxes, AnImmediateRefusalStaysDismissableWhileItsBoxIsOpen) {
  AddCameraWithoutGrid();
  panel.SelectEntry(0);
  BoxOutcome outcome;
  WatchNextMessageBox(outcome, 4500);
  panel.Calibrate();
  ASSERT_TRUE(panel.WaitForCalibration(30000));
  QTRY_VERIFY_WITH_TIMEOUT(outcome.seen, 30000);
  QTRY_VERIFY_WITH_TIMEOUT(outcome.checked && !VisibleMessageBox(), 5000);
  EXPECT_TRUE(outcome.text.contains("grid")) << outcome.text.toStdString();
  EXPECT_FALSE(outcome.progressWindowOverIt) << "the progress window came back over the refusal";
  EXPECT_TRUE(outcome.activeModal);
  EXPECT_TRUE(outcome.dismissedByOk) << "OK did not close the refusal";
  EXPECT_EQ(panel.Runner()->Dialog(), nullptr);
  EXPECT_FALSE(AnyProgressWindowVisible());
}

// A rig run held on its worker until its progress window is up: camera 0
// calibrates, camera 1 has no grid, and the rig is refused with the window
// already on the screen.
TEST_F(RefusalMessageBoxes, ARefusalAfterASlowRunReplacesItsProgressWindow) {
  AddCalibratableCamera(8);
  AddCameraWithoutGrid();
  std::atomic<bool> progressShown{false};
  panel.Runner()->SetWorkerHook([&progressShown] {
    for (int i = 0; i < 3000 && !progressShown.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  BoxOutcome outcome;
  WatchNextMessageBox(outcome, 1000);
  panel.CalibrateStereoRig();
  ASSERT_TRUE(panel.IsCalibrating());
  QTRY_VERIFY_WITH_TIMEOUT(panel.Runner()->Dialog() && panel.Runner()->Dialog()->isVisible(), 20000);
  progressShown = true;
  ASSERT_TRUE(panel.WaitForCalibration(30000));
  QTRY_VERIFY_WITH_TIMEOUT(outcome.seen, 30000);
  QTRY_VERIFY_WITH_TIMEOUT(outcome.checked && !VisibleMessageBox(), 5000);
  EXPECT_TRUE(outcome.text.contains("stereo rig could not be calibrated")) << outcome.text.toStdString();
  EXPECT_FALSE(outcome.progressWindowOverIt) << "the refusal came under the progress window";
  EXPECT_TRUE(outcome.activeModal);
  EXPECT_TRUE(outcome.dismissedByOk) << "OK did not close the refusal";
  // Camera 0 calibrated before the rig was refused, and shows it.
  EXPECT_TRUE(panel.EntryText(0).startsWith("fx ")) << panel.EntryText(0).toStdString();
  EXPECT_TRUE(panel.EntryText(0).contains("RMS error")) << panel.EntryText(0).toStdString();
}

}  // namespace
