// lentora: with a subcommand it works headless on workspaces and images;
// without one (or with just a workspace index file) it opens the workbench.

#include <iostream>
#include <string>

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "records/Version.h"

#ifdef LENTORA_WITH_GUI
#include "ui/WorkbenchApp.h"
#include "view3d/Calib3DScene.h"
#endif

namespace {

struct Subcommand {
  const char* name;
  int (*run)(const Arguments&);
  const char* summary;
};

// One line per subcommand.
const Subcommand kSubcommands[] = {
    {"new", RunNew, "make a workspace from photographs of the board, one camera per --images list"},
    {"info", RunInfo, "print what the loader reads from a workspace"},
    {"copy", RunCopy, "load a workspace and save it under a new index file"},
    {"calibrate", RunCalibrate, "calibrate cameras of a workspace from their marked grid points"},
    {"stereo", RunStereo, "calibrate cameras 0 and 1 and the stereo rig they form"},
    {"synth", RunSynth, "render a synthetic workspace through a known camera"},
    {"export", RunExport, "write a calibration as OpenCV, ROS, COLMAP or Kalibr parameters"},
    {"import-parameters", RunImportParameters, "read a camera's parameters from an OpenCV, ROS, Kalibr, COLMAP or own file"},
    {"undistort", RunUndistort, "remove lens distortion from an image with a parameter file"},
    {"extract-grid", RunExtractGrid, "mark one view's grid from four border points"},
    {"detect", RunDetect, "find the chequerboard grid in views without clicks"},
    {"grab", RunGrab, "turn frames of a video file into camera views of a new workspace"},
    {"capture", RunCapture, "record a live device, alone or in step with a second machine over UDP"},
    {"sync-grab", RunSyncGrab, "match frames of two synchronised recordings into a stereo workspace"},
};

void PrintUsage(std::ostream& out) {
  out << "usage: lentora <command> [arguments]   (lentora <command> --help for details)\n\ncommands:\n";
  constexpr size_t kNameColumn = 19;
  for (const Subcommand& c : kSubcommands) {
    const size_t length = std::string(c.name).size();
    out << "  " << c.name << std::string(length < kNameColumn ? kNameColumn - length : 1, ' ') << c.summary << "\n";
  }
}

bool IsSubcommand(const std::string& name) {
  for (const Subcommand& c : kSubcommands)
    if (name == c.name) return true;
  return false;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool WorkbenchCanOpen() {
#ifdef LENTORA_WITH_GUI
  return WorkbenchDisplayAvailable();
#else
  return false;
#endif
}

// No arguments, or one workspace index file: the windowed workbench. Without a
// display the workspace is summarised instead, and a bare call prints usage.
int RunWorkbench(int argc, char** argv, const std::string& workspace, const std::string& snapshot = "") {
#ifdef LENTORA_WITH_GUI
  if (WorkbenchDisplayAvailable()) return CWorkbenchApp().Run(argc, argv, workspace, CreateCalib3DScene, snapshot);
#else
  (void)snapshot;
  (void)argc;
  (void)argv;
#endif
  if (!workspace.empty()) return RunInfo(Arguments{workspace});
  PrintUsage(std::cerr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return RunWorkbench(argc, argv, "");
  const std::string command = argv[1];
  if (argc == 2 && EndsWith(command, ".txt") && !IsSubcommand(command)) return RunWorkbench(argc, argv, command);
  // --snapshot FILE [WORKSPACE.txt]: open the workbench, write its window's
  // picture (PNG) once it is drawn, and quit.
  if (command == "--snapshot") {
    if (argc < 3 || argc > 4 || !WorkbenchCanOpen()) {
      std::cerr << "usage: lentora --snapshot FILE.png [WORKSPACE.txt] (needs a display)\n";
      return kExitUsage;
    }
    return RunWorkbench(argc, argv, argc == 4 ? argv[3] : "", argv[2]);
  }
  if (command == "--version") {
    std::cout << "lentora " << LentoraVersion() << "\n";
    return kExitOk;
  }
  if (command == "--help" || command == "-h") {
    PrintUsage(std::cout);
    return kExitOk;
  }
  const Arguments args(argv + 2, argv + argc);
  for (const Subcommand& c : kSubcommands)
    if (command == c.name) return c.run(args);
  std::cerr << "lentora: unknown command '" << command << "'\n";
  PrintUsage(std::cerr);
  return kExitUsage;
}
