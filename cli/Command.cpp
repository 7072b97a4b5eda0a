#include "cli/Command.h"

#include <algorithm>
#include <iostream>

#include "core/CalibrationData.h"
#include "core/Workspace.h"

namespace {

const char* kCameraMessage = "--camera needs a camera index (0, 1, ...)";

bool WantsHelp(const Arguments& args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
}

void PrintWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
}

void ReadCommonOptions(const CommandSpec& spec, CommandLine& line) {
  if (spec.common & kCameraOption) {
    if (const auto text = line.Value("--camera")) {
      int camera = -1;
      if (!ParseInt(*text, camera) || camera < 0) FailUsage(kCameraMessage);
      line.camera = camera;
    }
  }
  line.json = (spec.common & kJsonOption) && line.Has("--json");
  if (spec.common & kSaveOption) {
    if (const auto save = line.Value("--save")) {
      if (save->empty()) FailUsage("--save needs a file name");
      line.saveTo = *save;
    }
  }
}

CommandLine ParseCommandLine(const CommandSpec& spec, const Arguments& args) {
  std::vector<std::string> values = spec.valueOptions, flags = spec.flagOptions;
  if (spec.common & kCameraOption) values.push_back("--camera");
  if (spec.common & kSaveOption) values.push_back("--save");
  if (spec.common & kJsonOption) flags.push_back("--json");
  ParsedArguments parsed;
  std::string error;
  if (!ParseArguments(args, values, flags, parsed, error, spec.listOptions, spec.groupOptions)) FailUsage(error);
  CommandLine line(spec, std::move(parsed));
  ReadCommonOptions(spec, line);
  return line;
}

}  // namespace

void FailUsage(const std::string& message) { throw CommandError(kExitUsage, message); }

void FailInput(const std::string& message) { throw CommandError(kExitBadInput, message); }

const std::string& CommandLine::OnePositional(const std::string& message) const {
  if (parsed_.positional.size() != 1) FailUsage(message);
  return parsed_.positional[0];
}

void CommandLine::Complain(const std::string& message) const {
  std::cerr << "lentora " << spec_.name << ": " << message << "\n";
}

int RunCommand(const CommandSpec& spec, const Arguments& args, const CommandWork& work) {
  if (WantsHelp(args)) {
    std::cout << spec.usage;
    return kExitOk;
  }
  try {
    return work(ParseCommandLine(spec, args));
  } catch (const CommandError& error) {
    if (error.Status() == kExitUsage) {
      if (*error.what()) std::cerr << error.what() << "\n";
      std::cerr << spec.usage;
    } else {
      std::cerr << "lentora " << spec.name << ": " << error.what() << "\n";
    }
    return error.Status();
  } catch (const std::exception& error) {
    std::cerr << "lentora " << spec.name << ": " << error.what() << "\n";
    return kExitBadInput;
  }
}

void LoadWorkspaceFor(const std::string& path, CCalibrationData& data) {
  const WorkspaceResult loaded = LoadWorkspace(data, path);
  if (!loaded.ok) FailInput(loaded.error);
  PrintWarnings(loaded.warnings);
}

void SaveWorkspaceFor(CCalibrationData& data, const std::string& path, const std::string& context) {
  const WorkspaceResult saved = SaveWorkspaceTo(data, path);
  if (!saved.ok) FailInput(context + saved.error);
  PrintWarnings(saved.warnings);
}
