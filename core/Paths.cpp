#include "core/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

#ifndef LENTORA_SHARE_FROM_BIN
#define LENTORA_SHARE_FROM_BIN "../share/lentora"
#endif

namespace {

bool HoldsGraphics(const fs::path& folder) {
  std::error_code ec;
  return !folder.empty() && fs::is_directory(folder / "Graphics", ec);
}

}  // namespace

std::string FindApplicationFolder(const std::string& currentFolder, const std::string& executableFolder) {
  const fs::path current(currentFolder);
  const fs::path executable(executableFolder);
  const fs::path installedShare = (executable / LENTORA_SHARE_FROM_BIN).lexically_normal();
  for (const fs::path& candidate : {current, executable, installedShare})
    if (HoldsGraphics(candidate)) return candidate.string();
  return executable.empty() ? current.string() : executable.string();
}

std::string ApplicationFolder() {
  std::error_code ec;
  const fs::path current = fs::current_path(ec);
  std::error_code exeError;
  const fs::path exe = fs::read_symlink("/proc/self/exe", exeError);
  return FindApplicationFolder(ec ? std::string() : current.string(),
                               exeError ? std::string() : exe.parent_path().string());
}

std::string OutputFolder() {
  const char* dir = std::getenv("LENTORA_OUTPUT_DIR");
  if (dir && *dir) return dir;
  return ApplicationFolder();
}

std::string OutputPath(const std::string& fileName) { return (fs::path(OutputFolder()) / fileName).string(); }
