// The workbench window with a large workspace of 1920x1080 views (500, or
// LENTORA_BENCH_VIEWS): the process's resident memory at its peak while the
// data panel's image list is scrolled from top to bottom, while views are
// opened in the editor one after another, and after a calibration shown in
// the 3D window. The references, measured in the same run: the window with
// no workspace, and what one decoded view adds (the counters give the peaks
// in decoded views' worth above the empty window). With
// LENTORA_BENCH_SCREENSHOTS set to a folder, pictures of the list, the
// editor and the 3D window go there. Run it on a display with OpenGL
// (xvfb-run); without one it falls back to drawing offscreen, without 3D.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QScreen>
#include <QTimer>
#include <cstdlib>

#include "bench/LargeWorkspace.h"
#include "ui/ImageListControl.h"
#include "ui/ObjectEditDlg.h"
#include "ui/StaticDataView.h"
#include "ui/WorkbenchDlg.h"
#include "view3d/Calib3DScene.h"
#include "widgets/ScrollBarEx.h"

namespace {

namespace fs = std::filesystem;

QApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_workbench_memory";
  static char* argv[] = {name, nullptr};
  const char* display = std::getenv("DISPLAY");
  if (!std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", display != nullptr && *display != '\0' ? "xcb" : "offscreen", 0);
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}

// Lets the event loop run (waiting, not spinning) for `ms`.
void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

int ViewCount() {
  const char* views = std::getenv("LENTORA_BENCH_VIEWS");
  return views ? std::max(10, std::atoi(views)) : 500;
}

// What the screen shows of a window, or the window drawn offscreen.
QImage Picture(QWidget& window) {
  QApplication::processEvents();
  if (QGuiApplication::platformName() == "xcb" && window.screen())
    return window.screen()->grabWindow(window.winId()).toImage();
  return window.grab().toImage();
}

void SaveScreenshot(QWidget& window, const char* name) {
  const char* folder = std::getenv("LENTORA_BENCH_SCREENSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  QDir().mkpath(folder);
  Picture(window).save(QDir(folder).filePath(QString(name) + ".png"));
}

// Resident memory one decoded view adds, with the library's decoder.
double DecodedViewMegabytes(const std::string& file) {
  const bench::PeakMeter meter;
  const cv::Mat picture = cv::imread(file);
  benchmark::DoNotOptimize(picture.data);
  return meter.AddedMegabytes();
}

// A double click on a view's thumbnail, as a user opens the editor.
void OpenInEditor(CStaticDataView& panel, int view) {
  panel.ImageList()->SelectView(view);
  const QPoint centre = panel.ImageList()->ThumbnailRect(view).center();
  panel.DoubleClick(CStaticDataView::kListLeft + centre.x(), CStaticDataView::kListTop + centre.y());
  QApplication::processEvents();
}

void BM_WorkbenchWithLargeWorkspace(benchmark::State& state) {
  Application();
  const int views = ViewCount();
  const fs::path folder = fs::temp_directory_path() / "lentora-bench-workbench";
  fs::remove_all(folder);
  const bench::RenderedViews rendered = bench::RenderViews(folder / "rendered", views, 1920, 1080);
  const std::string index = bench::SaveWorkspaceOfViews(rendered, views, folder / "workspace");
  fs::remove_all(folder / "rendered");
  qputenv("LENTORA_OUTPUT_DIR", QByteArray::fromStdString((folder / "output").string()));
  const double decodedView = DecodedViewMegabytes(JoinPath(FolderOf(index), ViewImageFileName(0, 0)));

  for (auto _ : state) {
    CWorkbenchDlg window(LENTORA_GRAPHICS_PARENT, CreateCalib3DScene);
    window.move(10, 10);
    window.show();
    Wait(500);
    bench::RestartPeak();
    const double empty = bench::ResidentMegabytes();

    window.OpenStartupWorkspace(QString::fromStdString(index));
    CStaticDataView& panel = *window.CalibrationPanel();
    panel.SelectEntry(0);
    Wait(300);
    const double opened = bench::PeakResidentMegabytes();
    SaveScreenshot(window, "01_image_list_top");

    // The whole list, a wheel notch at a time, drawn at every step.
    CImageListControl& list = *panel.ImageList();
    int steps = 0;
    for (int last = -1; list.ScrollOffset() != last && steps < 100000; ++steps) {
      last = list.ScrollOffset();
      panel.Wheel(CStaticDataView::kListLeft + 10, -120);
      list.repaint();
      QApplication::processEvents();
    }
    const double scrolled = bench::PeakResidentMegabytes();
    SaveScreenshot(window, "02_image_list_bottom");

    // Every tenth view in the editor, each drawn.
    auto* editor = window.findChild<CObjectEditDlg*>();
    int opens = 0;
    for (int view = 0; view < views; view += 10, ++opens) {
      OpenInEditor(panel, view);
      if (editor) editor->repaint();
      QApplication::processEvents();
    }
    Wait(300);
    const double edited = bench::PeakResidentMegabytes();
    if (editor) SaveScreenshot(*editor, "03_editor");
    if (editor) editor->hide();

    panel.Calibrate();
    if (!panel.WaitForCalibration()) state.SkipWithError("the calibration did not finish");
    Wait(1000);
    const double shown3d = bench::PeakResidentMegabytes();
    if (auto* scene = window.findChild<CCalib3DScene*>()) {
      SaveScreenshot(*scene, "04_3d_camera_centred");
      scene->ToggleViewMode();
      Wait(500);
      SaveScreenshot(*scene, "05_3d_object_centred");
    }

    state.counters["views"] = views;
    state.counters["scroll_steps"] = steps;
    state.counters["editor_opens"] = opens;
    state.counters["empty_window_mb"] = empty;
    state.counters["decoded_view_mb"] = decodedView;
    state.counters["opened_peak_mb"] = opened;
    state.counters["scrolled_peak_mb"] = scrolled;
    state.counters["editor_peak_mb"] = edited;
    state.counters["calibrated_3d_peak_mb"] = shown3d;
    if (decodedView > 0.0) {
      state.counters["scrolled_in_views"] = (scrolled - empty) / decodedView;
      state.counters["editor_in_views"] = (edited - empty) / decodedView;
      state.counters["calibrated_3d_in_views"] = (shown3d - empty) / decodedView;
    }
  }
  fs::remove_all(folder);
}

BENCHMARK(BM_WorkbenchWithLargeWorkspace)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
