#pragma once
// The engine's own error status. OpenCV's C error call throws and its status
// is always 0, so the engine keeps the last report here. Routines report a
// failed check with Orvel_SetError, callers test Orvel_GetErrStatus() < 0.

#include <string>

enum OrvelErrorCode {
  ORVEL_StsOk = 0,
  ORVEL_StsBackTrace = -1,
  ORVEL_StsBadArg = -5,
  ORVEL_StsNullPtr = -27,
  ORVEL_StsBadSize = -201,
  ORVEL_StsUnmatchedFormats = -205,
  ORVEL_StsUnmatchedSizes = -209,
  ORVEL_StsUnsupportedFormat = -210,
  ORVEL_StsOutOfRange = -211,
};

struct OrvelErrorReport {
  int code = 0;
  std::string routine;
  std::string message;
  std::string module;  // always "Calibration" for the engine
  int line = 0;
};

// Records a report; the status becomes `code`.
void Orvel_SetError(int code, const char* routine, const char* message, const char* module, int line);
// Current status: 0, or the (negative) code of the last report since the last clear.
int Orvel_GetErrStatus();
void Orvel_SetErrStatus(int code);
void Orvel_ClearError();
// The last report (valid while the status is negative).
const OrvelErrorReport& Orvel_LastError();
