#pragma once
// Small helpers shared by the subcommands: option parsing and exit codes.

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/JsonWriter.h"
#include "cli/Commands.h"

enum ExitStatus { kExitOk = 0, kExitBadInput = 1, kExitUsage = 2 };

// Prints "lentora <command>: <message>" to stderr and returns kExitBadInput.
int FailInput(const std::string& command, const std::string& message);
// Prints the message and the usage text to stderr and returns kExitUsage.
int FailUsage(const std::string& usage, const std::string& message);
bool WantsHelp(const Arguments& args);

// Splits options from positional arguments. Flags listed in `valueOptions`
// take the next argument as their value; `flagOptions` take none. Returns
// false (with `error` set) on an unknown option or a missing value.
struct ParsedArguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
};
bool ParseArguments(const Arguments& args, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, ParsedArguments& parsed, std::string& error);

// Strict number parsing: the whole text must be the number.
bool ParseInt(const std::string& text, int& value);
bool ParseDouble(const std::string& text, double& value);
// "a,b,c" into doubles; false unless every element parses.
bool ParseDoubleList(const std::string& text, std::vector<double>& values);
