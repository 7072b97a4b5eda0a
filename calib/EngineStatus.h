#pragma once
// How every engine routine reports: a failed check records the routine's
// name, a named code, the message and the line of the check through
// CalibError.h; an inner call that failed is reported as the back trace; no
// library exception leaves a routine. Included by the engine's sources only.

#include <opencv2/core/core_c.h>

#include <exception>
#include <memory>

#include "calib/CalibError.h"

namespace engine {

inline constexpr const char* kModule = "Calibration";
inline constexpr const char* kInnerFailed = "Inner function failed.";

// The caller's line comes from __builtin_LINE() rather than std::source_location:
// clang 14 (the fuzzing compiler) cannot provide the latter with libstdc++ 12.
inline void Report(const char* routine, OrvelErrorCode code, const char* message, int line = __builtin_LINE()) {
  Orvel_SetError(code, routine, message, kModule, line);
}

inline bool InnerFailed() { return Orvel_GetErrStatus() < 0; }

// Reports the back trace when the status shows that an inner call failed.
inline bool ReportIfInnerFailed(const char* routine, int line = __builtin_LINE()) {
  if (!InnerFailed()) return false;
  Report(routine, ORVEL_StsBackTrace, kInnerFailed, line);
  return true;
}

// Null is the null-pointer code, anything else that is not a matrix a bad argument.
inline OrvelErrorCode InvalidMatrixCode(const void* mat) { return mat ? ORVEL_StsBadArg : ORVEL_StsNullPtr; }

// Runs a routine body under the routine's status scope so that no library
// exception escapes; an exception counts as a failed inner call.
template <class Body>
void RunGuarded(const char* routine, Body&& body) {
  OrvelStatusScope status;
  try {
    body();
  } catch (const std::exception&) {
    Report(routine, ORVEL_StsBackTrace, kInnerFailed);
  } catch (...) {
    Report(routine, ORVEL_StsBackTrace, kInnerFailed);
  }
}

struct CvMatRelease {
  void operator()(CvMat* mat) const { cvReleaseMat(&mat); }
};
// Owns a matrix made with cvCreateMat.
using MatPtr = std::unique_ptr<CvMat, CvMatRelease>;

inline MatPtr CreateMat(int rows, int cols, int type) { return MatPtr(cvCreateMat(rows, cols, type)); }

}  // namespace engine
