#pragma once
// What every fuzz target shares: the readers under test take file paths, so
// each input is written to a scratch file of this process first.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

// The scratch folder of this process, made on first use and removed when the
// fuzzer exits normally. It lives in shared memory where there is one: on a
// disk file system, rewriting the same file thousands of times a second makes
// every close wait for the disk and slows fuzzing down tenfold.
class ScratchFolderOwner {
 public:
  ScratchFolderOwner() : path_(Base() / ("lentora-fuzz-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolderOwner() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolderOwner(const ScratchFolderOwner&) = delete;
  ScratchFolderOwner& operator=(const ScratchFolderOwner&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  static std::filesystem::path Base() {
    std::error_code ignored;
    if (std::filesystem::is_directory("/dev/shm", ignored)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
  }
  std::filesystem::path path_;
};

inline const std::filesystem::path& ScratchFolder() {
  static const ScratchFolderOwner folder;
  return folder.Path();
}

// Writes bytes to `name` in the scratch folder and returns its path.
inline std::string ScratchFile(const std::string& name, std::string_view bytes) {
  const std::string path = (ScratchFolder() / name).string();
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
