#pragma once
// Headless subcommands of the lentora executable. Each takes the arguments
// after its own name and returns the process exit status: 0 success, 1 bad
// input (one-line message on stderr), 2 bad usage.

#include <string>
#include <vector>

using Arguments = std::vector<std::string>;

int RunInfo(const Arguments& args);
int RunCopy(const Arguments& args);
int RunNew(const Arguments& args);
int RunUndistort(const Arguments& args);
int RunExtractGrid(const Arguments& args);
int RunDetect(const Arguments& args);
int RunGrab(const Arguments& args);
int RunCalibrate(const Arguments& args);
int RunStereo(const Arguments& args);
int RunSynth(const Arguments& args);
int RunExport(const Arguments& args);
int RunImportParameters(const Arguments& args);
int RunCapture(const Arguments& args);
int RunSyncGrab(const Arguments& args);
