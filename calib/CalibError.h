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

// A routine starts from a clean status so that an earlier, unrelated failure
// is not taken for one of its own inner calls; when the routine succeeds the
// earlier failure is put back, so the status stays sticky until the caller
// clears it. Every engine routine holds one for its whole body.
class OrvelStatusScope {
 public:
  OrvelStatusScope() : saved_(Orvel_GetErrStatus()) {
    if (saved_ < 0) Orvel_SetErrStatus(0);
  }
  ~OrvelStatusScope() {
    if (saved_ < 0 && Orvel_GetErrStatus() >= 0) Orvel_SetErrStatus(saved_);
  }
  OrvelStatusScope(const OrvelStatusScope&) = delete;
  OrvelStatusScope& operator=(const OrvelStatusScope&) = delete;

 private:
  int saved_;
};
