// lentora: with a subcommand it works headless on workspaces and images.

#include <iostream>
#include <string>

#include "cli/CliSupport.h"
#include "cli/Commands.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(const Arguments&);
  const char* summary;
};

// One line per subcommand.
const Subcommand kSubcommands[] = {
    {"info", RunInfo, "print what the loader reads from a workspace"},
    {"copy", RunCopy, "load a workspace and save it under a new index file"},
    {"extract-grid", RunExtractGrid, "mark one view's grid from four border points"},
    {"undistort", RunUndistort, "remove lens distortion from an image with a parameter file"},
};

void PrintUsage(std::ostream& out) {
  out << "usage: lentora <command> [arguments]   (lentora <command> --help for details)\n\ncommands:\n";
  for (const Subcommand& c : kSubcommands) out << "  " << c.name << std::string(16 - std::string(c.name).size(), ' ') << c.summary << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(std::cerr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    PrintUsage(std::cout);
    return kExitOk;
  }
  const Arguments args(argv + 2, argv + argc);
  for (const Subcommand& c : kSubcommands)
    if (command == c.name) return c.run(args);
  std::cerr << "lentora: unknown command '" << command << "'\n";
  PrintUsage(std::cerr);
  return kExitUsage;
}
