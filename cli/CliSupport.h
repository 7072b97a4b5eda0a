#pragma once
// Small helpers shared by the subcommands: option parsing, exit codes and a
// minimal JSON writer.

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

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

// Streaming JSON writer with no pretty printing. Doubles are written with
// full round-trip precision; non-finite values as null.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(const std::string& key);
  JsonWriter& Value(double value);
  JsonWriter& Value(int value);
  JsonWriter& Value(bool value);
  JsonWriter& Value(const std::string& value);
  template <class It>
  JsonWriter& Array(It begin, It end) {
    BeginArray();
    for (; begin != end; ++begin) Value(*begin);
    return EndArray();
  }
  std::string str() const { return out_.str(); }

 private:
  void Separate();
  std::ostringstream out_;
  std::vector<bool> first_{true};
  bool afterKey_ = false;
};
