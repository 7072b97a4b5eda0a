#include "core/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string ApplicationFolder() {
  std::error_code ec;
  const fs::path current = fs::current_path(ec);
  if (!ec && fs::is_directory(current / "Graphics", ec)) return current.string();
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return exe.parent_path().string();
  return current.string();
}

std::string OutputFolder() {
  const char* dir = std::getenv("LENTORA_OUTPUT_DIR");
  if (dir && *dir) return dir;
  return ApplicationFolder();
}

std::string OutputPath(const std::string& fileName) { return (fs::path(OutputFolder()) / fileName).string(); }
