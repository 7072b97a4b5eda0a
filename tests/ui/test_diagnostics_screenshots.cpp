// Pictures of the diagnostics in the workbench for a person to look at: the
// sample workspace calibrated from the data panel with each view's error on
// its thumbnail, the residual window opened from the panel, and the Export
// dialog with its four formats.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QTest>
#include <cstdlib>

#include "UiTestSupport.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"
#include "support/TestPaths.h"
#include "ui/ImageListControl.h"
#include "ui/ResidualWindow.h"
#include "ui/StaticDataView.h"
#include "widgets/HoverButtonEx.h"

namespace {

QString ScreenshotDir() {
  const QString dir = TestScreenshotDir();
  QDir().mkpath(dir);
  return dir;
}

TEST(DiagnosticsScreenshot, SampleViewErrorsResidualWindowAndExportDialog) {
  TestApplication();
  TempDir temp;
  setenv("LENTORA_OUTPUT_DIR", temp.Path().c_str(), 1);
  ScriptedWorkbench window(TestGraphicsParent());
  CStaticDataView& panel = *window.CalibrationPanel();
  QStringList messages;
  panel.SetPrompts({[&messages](const QString& text) { messages << text; }, {}, {}, {}});
  window.show();
  window.OpenStartupWorkspace(QString(TestSourceDir()) + "/samples/workspace.txt");
  ASSERT_EQ(panel.SelectedCamera(), 0);
  CCalibrationData& store = window.Data();
  // One view marked a few pixels off, as a slipped click in the editor would leave it.
  PointList& slipped = *store.GetGridPoints(0, 2);
  for (size_t p = 0; p < slipped.size(); ++p) slipped[p].y += (p % 2 ? 3.0 : -3.0);

  panel.Button(CStaticDataView::kIdCalibrate)->click();
  ASSERT_TRUE(panel.WaitForCalibration());
  ASSERT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
  const std::vector<ViewError> errors = panel.ImageList()->ViewErrors();
  ASSERT_FALSE(errors.empty());
  for (const ViewError& e : errors) EXPECT_EQ(e.outlier, e.view == 2) << e.view << " " << e.rms;
  QApplication::processEvents();
  EXPECT_TRUE(window.grab().save(ScreenshotDir() + "/sample_view_errors.png"));

  panel.Button(CStaticDataView::kIdResiduals)->click();
  ASSERT_NE(panel.ResidualWindow(), nullptr);
  ASSERT_TRUE(panel.ResidualWindow()->isVisible());
  QApplication::processEvents();
  EXPECT_TRUE(panel.ResidualWindow()->grab().save(ScreenshotDir() + "/sample_residuals_from_panel.png"));
  panel.ResidualWindow()->close();

  QStringList filters;
  AnswerModal<QFileDialog>([&filters](QFileDialog* dialog) {
    filters = dialog->nameFilters();
    QTest::qWait(200);
    EXPECT_TRUE(dialog->grab().save(ScreenshotDir() + "/export_dialog.png"));
    dialog->reject();
  });
  panel.Button(CStaticDataView::kIdExport)->click();
  EXPECT_EQ(filters, QStringList({"OpenCV YAML (*.yaml *.yml)", "ROS camera_info YAML (*.yaml *.yml)",
                                  "COLMAP cameras.txt (*.txt)", "Kalibr camchain YAML (*.yaml *.yml)"}));
  EXPECT_TRUE(messages.isEmpty()) << "a cancelled export says nothing";
  unsetenv("LENTORA_OUTPUT_DIR");
}

}  // namespace
