#pragma once
// The frame every subcommand runs in: --help, the parsing of its options (the
// common --camera, --json and --save beside its own), loading and saving
// workspaces with their warnings, and the exit status. A command's function
// is its own work and nothing else; it stops with FailUsage or FailInput.

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliSupport.h"

class CCalibrationData;

// The common options a command takes.
enum CommonOption : unsigned {
  kNoCommonOption = 0,
  kCameraOption = 1u << 0,  // --camera N: a camera index from 0
  kJsonOption = 1u << 1,    // --json
  kSaveOption = 1u << 2,    // --save OUT_INDEX: a file name
};

struct CommandSpec {
  const char* name;   // as typed after "lentora"
  const char* usage;  // printed by --help, and after a usage error
  unsigned common = kNoCommonOption;
  std::vector<std::string> valueOptions = {};  // the command's own options taking one value
  std::vector<std::string> flagOptions = {};   // and those taking none
  std::vector<std::pair<std::string, int>> listOptions = {};  // and those taking up to N values
  std::vector<std::string> groupOptions = {};  // and those, repeatable, taking every argument up to the next option
};

// Stops a command with its exit status: a usage error prints its message and
// the usage (2), bad input prints "lentora <command>: <message>" (1).
class CommandError : public std::runtime_error {
 public:
  CommandError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

[[noreturn]] void FailUsage(const std::string& message);
[[noreturn]] void FailInput(const std::string& message);

// What the command line asked for.
class CommandLine {
 public:
  CommandLine(const CommandSpec& spec, ParsedArguments parsed) : spec_(spec), parsed_(std::move(parsed)) {}

  const std::vector<std::string>& Positional() const { return parsed_.positional; }
  // The only positional argument; a usage error with `message` unless there is exactly one.
  const std::string& OnePositional(const std::string& message) const;
  bool Has(const std::string& option) const { return parsed_.Has(option); }
  std::optional<std::string> Value(const std::string& option) const { return parsed_.Value(option); }
  const ParsedArguments& Parsed() const { return parsed_; }

  std::optional<int> camera;  // --camera
  bool json = false;          // --json
  std::string saveTo;         // --save; "" when not given

  // "lentora <command>: <message>" on stderr, and the command goes on.
  void Complain(const std::string& message) const;

 private:
  const CommandSpec& spec_;
  ParsedArguments parsed_;
};

using CommandWork = std::function<int(const CommandLine&)>;

// Runs a command: --help anywhere prints the usage (exit 0); otherwise the
// arguments are parsed and `work` runs, its result the exit status. A
// CommandError becomes its message and status; any other exception is
// reported as bad input rather than ending the process.
int RunCommand(const CommandSpec& spec, const Arguments& args, const CommandWork& work);

// Loads a workspace into `data` and prints its warnings; a workspace that
// cannot be loaded is bad input.
void LoadWorkspaceFor(const std::string& path, CCalibrationData& data);
// Saves the workspace and prints its warnings; a failed save is bad input,
// its reason after `context` (a command that only writes a new workspace
// says what it could not save).
void SaveWorkspaceFor(CCalibrationData& data, const std::string& path, const std::string& context = "");
