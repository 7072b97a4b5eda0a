#pragma once
// Where the program finds its graphics and writes its fixed output files.

#include <string>

// The folder whose Graphics/ the program draws from, first of: the current
// folder, the executable's folder (a build folder), the installed share folder
// beside the executable's (bin/../share/lentora). When none holds Graphics/,
// the executable's folder.
std::string ApplicationFolder();
// The same search from explicit places, for callers that know them.
std::string FindApplicationFolder(const std::string& currentFolder, const std::string& executableFolder);
// LENTORA_OUTPUT_DIR when set and non-empty, else the folder set with
// SetConfiguredOutputFolder (the application's settings), else the application
// folder, except for an installed program, whose share folder is not the
// user's to write: there $XDG_DATA_HOME/lentora (~/.local/share/lentora),
// created on demand.
std::string OutputFolder();
// "" for none.
void SetConfiguredOutputFolder(const std::string& folder);
// The folder OutputFolder() falls back to for that application folder.
std::string DefaultOutputFolder(const std::string& applicationFolder, const std::string& executableFolder);
// OutputFolder() joined with a fixed file name such as "debbg.txt".
std::string OutputPath(const std::string& fileName);
