#include "cli/RunProgress.h"

#include <cstdio>

CalibrationRunOptions ProgressToStderr(const std::string& label) {
  CalibrationRunOptions options;
  options.progress = [label](int iteration, double error) {
    std::fprintf(stderr, "%s: iteration %d, RMS error %.6f px\n", label.c_str(), iteration, error);
    std::fflush(stderr);
  };
  return options;
}
