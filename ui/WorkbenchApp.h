#pragma once
// The windowed program: starts the platform services, runs the main window
// modally and ends when it closes.

#include <string>

#include "widgets/ResultsWindow.h"

class CWorkbenchApp {
 public:
  // workspacePath: a workspace index file to open at start ("" for none).
  // resultsWindow makes the window that shows calibration runs.
  // snapshotPath: when set, the window's picture is written there (PNG) once
  // it has been drawn, and the program quits (1 when it cannot be written).
  int Run(int argc, char** argv, const std::string& workspacePath, ResultsWindowFactory resultsWindow,
          const std::string& snapshotPath = "");
};

// Whether a window system is reachable (or a platform plugin was named).
bool WorkbenchDisplayAvailable();
