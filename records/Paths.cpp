#include "records/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

#ifndef LENTORA_SHARE_FROM_BIN
#define LENTORA_SHARE_FROM_BIN "../share/lentora"
#endif

namespace {

// Runs on worker threads may ask for the output folder while the settings change it.
std::mutex& ConfiguredFolderMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& ConfiguredFolder() {
  static std::string folder;
  return folder;
}

bool HoldsGraphics(const fs::path& folder) {
  std::error_code ec;
  return !folder.empty() && fs::is_directory(folder / "Graphics", ec);
}

fs::path InstalledShareFolder(const fs::path& executable) {
  return (executable / LENTORA_SHARE_FROM_BIN).lexically_normal();
}

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

// $XDG_DATA_HOME/lentora, else ~/.local/share/lentora.
fs::path UserDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && *dataHome) return fs::path(dataHome) / "lentora";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/tmp") / ".local/share/lentora";
}

}  // namespace

std::string FindApplicationFolder(const std::string& currentFolder, const std::string& executableFolder) {
  const fs::path current(currentFolder);
  const fs::path executable(executableFolder);
  const fs::path installedShare = InstalledShareFolder(executable);
  for (const fs::path& candidate : {current, executable, installedShare})
    if (HoldsGraphics(candidate)) return candidate.string();
  return executable.empty() ? current.string() : executable.string();
}

std::string ApplicationFolder() {
  std::error_code ec;
  const fs::path current = fs::current_path(ec);
  return FindApplicationFolder(ec ? std::string() : current.string(), ExecutableFolder().string());
}

std::string DefaultOutputFolder(const std::string& applicationFolder, const std::string& executableFolder) {
  const fs::path executable(executableFolder);
  const bool installed = !executable.empty() && fs::path(applicationFolder) == InstalledShareFolder(executable) &&
                         !HoldsGraphics(executable);
  if (!installed) return applicationFolder;
  std::error_code ec;
  const fs::path folder = UserDataFolder();
  fs::create_directories(folder, ec);
  return folder.string();
}

std::string OutputFolder() {
  const char* dir = std::getenv("LENTORA_OUTPUT_DIR");
  if (dir && *dir) return dir;
  {
    std::lock_guard<std::mutex> lock(ConfiguredFolderMutex());
    if (!ConfiguredFolder().empty()) return ConfiguredFolder();
  }
  return DefaultOutputFolder(ApplicationFolder(), ExecutableFolder().string());
}

void SetConfiguredOutputFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(ConfiguredFolderMutex());
  ConfiguredFolder() = folder;
}

std::string OutputPath(const std::string& fileName) { return (fs::path(OutputFolder()) / fileName).string(); }
