#include "support/TestPaths.h"

#include <filesystem>
#include <string>

const char* TestSourceDir() { return LENTORA_SOURCE_DIR; }

const char* TestLentoraExecutable() { return LENTORA_EXECUTABLE; }

const char* TestGraphicsParent() { return LENTORA_GRAPHICS_PARENT; }

const char* TestScreenshotDir() {
  static const std::string folder =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "screenshots").string();
  return folder.c_str();
}
