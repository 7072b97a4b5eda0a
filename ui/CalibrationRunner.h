#pragma once
// Runs one calibration job on a worker thread while the window stays live: a
// window-modal progress dialog shows the iteration and the current error and
// offers Cancel, the window keeps repainting, and the job's results are
// stored on the user-interface thread when it ends (a cancelled job stores
// nothing).

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class CCalibrationData;
class CalibrationJob;
class QProgressDialog;
class QThread;
class QWidget;

class CCalibrationRunner : public QObject {
  Q_OBJECT
 public:
  explicit CCalibrationRunner(QWidget* window);
  // A job still running is cancelled and waited for; nothing is stored.
  ~CCalibrationRunner() override;

  // Starts the job; false when one is already running. `finished` is called
  // on this thread after the results were stored.
  bool Start(std::unique_ptr<CalibrationJob> job, CCalibrationData* store, const QString& title,
             std::function<void(const CalibrationJob&)> finished);
  bool IsRunning() const { return job_ != nullptr; }
  // Asks the running job to stop at its next residual evaluation.
  void Cancel();
  // Processes events until the running job has finished (tests); false on timeout.
  bool Wait(int timeoutMs);
  // Called on the worker thread before each job runs: tests make a run slow with it.
  void SetWorkerHook(std::function<void()> hook) { workerHook_ = std::move(hook); }

  // The dialog of the running job (null when none), its text, and the last reported iteration.
  QProgressDialog* Dialog() const { return dialog_; }
  QString ProgressText() const { return text_; }
  int LastIteration() const { return lastIteration_; }

 private:
  void ShowProgress(int iteration, double error);
  void Finish();

  QWidget* window_;
  std::unique_ptr<CalibrationJob> job_;
  CCalibrationData* store_ = nullptr;
  std::function<void(const CalibrationJob&)> finished_;
  std::function<void()> workerHook_;
  // Shared with the worker so that a late progress report never touches a destroyed runner.
  std::shared_ptr<std::atomic<bool>> cancel_;
  QThread* thread_ = nullptr;
  QProgressDialog* dialog_ = nullptr;
  QString title_;
  QString text_;
  int lastIteration_ = 0;
};
