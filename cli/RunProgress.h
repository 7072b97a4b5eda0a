#pragma once
// --progress of the calibration commands: one stderr line per refinement iteration.

#include <string>

#include "app/CalibrationService.h"

// Options whose progress prints "<label>: iteration N, RMS error E px" to stderr.
CalibrationRunOptions ProgressToStderr(const std::string& label);
