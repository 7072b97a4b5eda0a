#pragma once
// Where the program finds its graphics and writes its fixed output files.

#include <string>

// The current folder when it holds Graphics/, else the folder of the executable.
std::string ApplicationFolder();
// LENTORA_OUTPUT_DIR when set and non-empty, else the application folder.
std::string OutputFolder();
// OutputFolder() joined with a fixed file name such as "debbg.txt".
std::string OutputPath(const std::string& fileName);
