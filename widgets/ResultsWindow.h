#pragma once
// What the workbench asks of its results window. The window that draws a run
// in 3D sits beside the panels rather than below them, so the panels know it
// only through this interface and the executable hands them the factory.

#include <functional>
#include <string>

class CCalibrationData;
class QWidget;

class CResultsWindow {
 public:
  virtual ~CResultsWindow() = default;
  virtual QWidget* Window() = 0;
  // Shows a calibrated camera of the store in place of whatever was shown.
  virtual void ShowCalibration(int camera) = 0;
  // The store's cameras were renumbered: one inserted (delta +1) or removed
  // (delta -1) at `position`. A removed camera's results leave the window.
  virtual void CameraNumbersChanged(int position, int delta) = 0;
  // A camera's last run changed or was forgotten (a view was removed): the
  // window shows what is left of it, or nothing.
  virtual void RunChanged(int camera) = 0;
};

// Creates the (hidden) results window as a child of `parent`, which owns it.
using ResultsWindowFactory =
    std::function<CResultsWindow*(CCalibrationData* store, const std::string& applicationFolder, QWidget* parent)>;
