#pragma once
// Runs the built lentora executable as a user would, in a scratch folder that
// takes its output files (LENTORA_OUTPUT_DIR), its stdout and its stderr.
// support/TestPaths.h names the executable.

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/TempDir.h"
#include "support/TestPaths.h"

struct ProcessResult {
  int status = -1;  // the exit status; -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// One shell word, whatever the text holds.
inline std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The executable as one shell word.
inline std::string LentoraCommand() { return Quoted(TestLentoraExecutable()); }

// Runs a shell command line (several commands may be joined), with
// LENTORA_OUTPUT_DIR set to `scratch`; its stdout and stderr as a whole.
inline ProcessResult RunShell(const std::string& command, const TempDir& scratch) {
  const std::string out = scratch.File("process-stdout.txt"), err = scratch.File("process-stderr.txt");
  const std::string line = "export LENTORA_OUTPUT_DIR=" + Quoted(scratch.Path().string()) + "; { " + command +
                           "; } >" + Quoted(out) + " 2>" + Quoted(err);
  const int raw = std::system(line.c_str());
  ProcessResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = scratch.Read("process-stdout.txt");
  result.err = scratch.Read("process-stderr.txt");
  return result;
}

// Runs `lentora <arguments>`; the arguments are shell words (quote paths with Quoted).
inline ProcessResult RunLentora(const std::string& arguments, const TempDir& scratch) {
  return RunShell(LentoraCommand() + " " + arguments, scratch);
}
