#include "calib/CalibError.h"

// The status is kept per thread. The engine is called from the user-interface
// thread, but tests and command-line tools may run calibrations on worker
// threads; a per-thread status keeps one run's failure from being seen (or
// cleared) by an unrelated run, which is also how the matrix library's own
// status used to behave.
namespace {
thread_local OrvelErrorReport lastReport;
}

void Orvel_SetError(int code, const char* routine, const char* message, const char* module, int line) {
  lastReport.code = code;
  lastReport.routine = routine ? routine : "";
  lastReport.message = message ? message : "";
  lastReport.module = module ? module : "";
  lastReport.line = line;
}

int Orvel_GetErrStatus() { return lastReport.code; }

void Orvel_SetErrStatus(int code) { lastReport.code = code; }

void Orvel_ClearError() { lastReport = OrvelErrorReport{}; }

const OrvelErrorReport& Orvel_LastError() { return lastReport; }
