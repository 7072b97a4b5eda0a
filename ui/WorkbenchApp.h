#pragma once
// The windowed program: starts the platform services, runs the main window
// modally and ends when it closes.

#include <string>

class CWorkbenchApp {
 public:
  // workspacePath: a workspace index file to open at start ("" for none).
  int Run(int argc, char** argv, const std::string& workspacePath);
};

// Whether a window system is reachable (or a platform plugin was named).
bool WorkbenchDisplayAvailable();
