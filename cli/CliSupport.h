#pragma once
// Small helpers shared by the subcommands: exit codes, option and number parsing.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/JsonWriter.h"
#include "cli/Commands.h"
#include "records/Records.h"

enum ExitStatus { kExitOk = 0, kExitBadInput = 1, kExitUsage = 2 };

// Splits options from positional arguments. Options listed in `valueOptions`
// take the next argument as their value; `flagOptions` take none; each of
// `listOptions` takes up to its count of following arguments that are not
// options, kept as one value separated by '\n', and may be given once. Each
// of `groupOptions` may be given again and again, each time starting a group
// of every following argument that is not an option (possibly none).
// Returns false (with `error` set) on an unknown option or a missing value.
struct ParsedArguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;  // name, its arguments
  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
  // The groups of one option, in the order given.
  std::vector<std::vector<std::string>> Groups(const std::string& name) const;
};
bool ParseArguments(const Arguments& args, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, ParsedArguments& parsed, std::string& error,
                    const std::vector<std::pair<std::string, int>>& listOptions = {},
                    const std::vector<std::string>& groupOptions = {});

// The options count cameras and views from 0, the messages from 1: the refusal
// of an option that names no camera or view says both.
std::string NoSuchCamera(int option, int cameraCount);
std::string NoSuchView(int camera, int option, int viewCount);

// Strict number parsing: the whole text must be the number.
bool ParseInt(const std::string& text, int& value);
bool ParseDouble(const std::string& text, double& value);
// "a,b,c" into doubles; false unless every element parses.
bool ParseDoubleList(const std::string& text, std::vector<double>& values);

// The lens model and fixed-value options of calibrate and stereo:
//   --model NAME, --fix-aspect-ratio, --fix-principal-point, --zero-tangential,
//   --fix k1,k3 (coefficients of the model by name), --poses-only.
const std::vector<std::string>& ModelValueOptions();  // --model, --fix
// `flags` followed by the model options that take no value.
std::vector<std::string> WithModelFlags(std::vector<std::string> flags);
extern const char* const kModelOptionsUsage;
// The settings the options give a camera whose stored settings are `stored`:
// nothing when no option is given; --model starts from the default settings of
// that model, the other options from `stored` (or the new model's). False with
// the reason for an unknown model or coefficient.
bool SettingsFromOptions(const ParsedArguments& parsed, const CalibrationSettings& stored,
                         std::optional<CalibrationSettings>& settings, std::string& error);
