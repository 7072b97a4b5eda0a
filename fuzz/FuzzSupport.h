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

// A folder of this process under the temp folder, made on first use.
inline const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() / ("lentora-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
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
