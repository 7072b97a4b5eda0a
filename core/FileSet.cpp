#include "core/FileSet.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Describe(const std::error_code& error) { return error ? ": " + error.message() : std::string(); }

}  // namespace

FileSetWriter::FileSetWriter(std::string folder, FaultHook hook) : folder_(std::move(folder)), hook_(std::move(hook)) {}

FileSetWriter::~FileSetWriter() {
  if (committed_) return;
  std::error_code ignored;
  for (const Step& step : steps_)
    if (!step.temporary.empty()) fs::remove(step.temporary, ignored);
}

std::string FileSetWriter::TemporaryPath(const std::string& name, const char* kind) {
  // Hidden, unique to this process and set, and in the target folder so the
  // final rename never crosses file systems.
  const std::string file = "." + name + "." + kind + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_);
  return (folder_.empty() ? fs::path(file) : fs::path(folder_) / file).string();
}

bool FileSetWriter::Allowed(const char* stepName, const std::string& name) {
  if (!hook_ || hook_(stepName, name)) return true;
  error_ = "cannot " + std::string(stepName) + " \"" + name + "\": interrupted";
  return false;
}

bool FileSetWriter::Write(const std::string& name, const std::function<bool(const std::string& path)>& write) {
  Step step{name, TemporaryPath(name, "saving"), "", false};
  steps_.push_back(step);  // registered first, so a half-written temporary is removed too
  if (!Allowed("write", name)) return false;
  if (!write(step.temporary)) {
    error_ = "cannot write \"" + name + "\"";
    return false;
  }
  return true;
}

void FileSetWriter::Remove(const std::string& name) { steps_.push_back(Step{name, "", "", false}); }

std::string TargetPath(const std::string& folder, const std::string& name) {
  return (folder.empty() ? fs::path(name) : fs::path(folder) / name).string();
}

bool FileSetWriter::KeepBackup(Step& step) {
  const std::string target = TargetPath(folder_, step.name);
  std::error_code error;
  if (!fs::exists(fs::symlink_status(target, error))) return true;
  step.backup = TemporaryPath(step.name, "previous");
  // A second name for the old contents costs nothing; file systems without
  // hard links get a copy.
  fs::create_hard_link(target, step.backup, error);
  if (error) {
    error.clear();
    fs::copy_file(target, step.backup, error);
  }
  if (error) {
    error_ = "cannot keep the previous \"" + step.name + "\"" + Describe(error);
    step.backup.clear();
    return false;
  }
  return true;
}

bool FileSetWriter::Apply(Step& step) {
  if (!Allowed("rename", step.name) || !KeepBackup(step)) return false;
  const std::string target = TargetPath(folder_, step.name);
  std::error_code error;
  if (step.temporary.empty())
    fs::remove(target, error);
  else
    fs::rename(step.temporary, target, error);
  if (error) {
    error_ = "cannot replace \"" + step.name + "\"" + Describe(error);
    return false;
  }
  step.done = true;
  return true;
}

void FileSetWriter::Undo() {
  std::error_code ignored;
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    const std::string target = TargetPath(folder_, step->name);
    if (step->done) {
      if (!step->backup.empty())
        fs::rename(step->backup, target, ignored);
      else
        fs::remove(target, ignored);
    } else if (!step->backup.empty()) {
      fs::remove(step->backup, ignored);
    }
    if (!step->done && !step->temporary.empty()) fs::remove(step->temporary, ignored);
  }
  steps_.clear();
}

bool FileSetWriter::Commit() {
  for (Step& step : steps_) {
    if (!Apply(step)) {
      Undo();
      return false;
    }
  }
  std::error_code ignored;
  for (const Step& step : steps_)
    if (!step.backup.empty()) fs::remove(step.backup, ignored);
  committed_ = true;
  return true;
}
