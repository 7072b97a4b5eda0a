#pragma once
// Replaces a set of files in one folder as a unit: every file is first written
// under a temporary name beside its target, then all are renamed into place in
// the order they were added (so the file added last, a workspace index, lands
// last). When any step fails, files already replaced get their old contents
// back, the temporaries go, and the folder is as it was.

#include <functional>
#include <string>
#include <vector>

class FileSetWriter {
 public:
  // Called before each step with "write" or "rename" and the target's file
  // name; returning false makes that step fail as an I/O error would. Lets
  // tests break a save part-way.
  using FaultHook = std::function<bool(const std::string& step, const std::string& name)>;

  explicit FileSetWriter(std::string folder, FaultHook hook = {});
  ~FileSetWriter();  // removes whatever temporaries are left
  FileSetWriter(const FileSetWriter&) = delete;
  FileSetWriter& operator=(const FileSetWriter&) = delete;

  // Writes the target `name` (a bare file name) through `write`, which is
  // given the temporary path to create. False, with the reason in Error(),
  // when the write fails.
  bool Write(const std::string& name, const std::function<bool(const std::string& path)>& write);
  // The target `name` is to be absent once the set is committed.
  void Remove(const std::string& name);
  // Renames every temporary into place (and removes what Remove named). On a
  // failure undoes the steps already taken and returns false.
  bool Commit();

  const std::string& Error() const { return error_; }

 private:
  struct Step {
    std::string name;
    std::string temporary;  // empty: the target is removed
    std::string backup;     // the target's old contents while committing
    bool done = false;
  };

  bool Apply(Step& step);
  bool KeepBackup(Step& step);
  void Undo();
  std::string TemporaryPath(const std::string& name, const char* kind);
  bool Allowed(const char* stepName, const std::string& name);

  std::string folder_;
  FaultHook hook_;
  std::vector<Step> steps_;
  std::string error_;
  int counter_ = 0;
  bool committed_ = false;
};
