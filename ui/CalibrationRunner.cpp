#include "ui/CalibrationRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QProgressDialog>
#include <QThread>
#include <QWidget>

#include "app/CalibrationService.h"
#include "ui/ProgressWindow.h"

namespace {
// Short runs finish before the dialog would only flash up.
constexpr int kDialogDelayMs = 300;
}  // namespace

CCalibrationRunner::CCalibrationRunner(QWidget* window) : QObject(window), window_(window) {}

CCalibrationRunner::~CCalibrationRunner() {
  if (!thread_) return;
  cancel_->store(true);
  thread_->wait();
  delete thread_;
}

bool CCalibrationRunner::Start(std::unique_ptr<CalibrationJob> job, CCalibrationData* store, const QString& title,
                               std::function<void(const CalibrationJob&)> finished) {
  if (IsRunning() || !job || !store) return false;
  job_ = std::move(job);
  store_ = store;
  finished_ = std::move(finished);
  title_ = title;
  text_ = title + "\nStarting...";
  lastIteration_ = 0;
  cancel_ = std::make_shared<std::atomic<bool>>(false);

  dialog_ = OpenProgressWindow(window_, "Calibration", text_, 0, kDialogDelayMs);
  dialog_->setWindowModality(Qt::WindowModal);
  connect(dialog_, &QProgressDialog::canceled, this, &CCalibrationRunner::Cancel);

  CalibrationRunOptions options;
  options.cancel = cancel_.get();
  QPointer<CCalibrationRunner> self(this);
  options.progress = [self](int iteration, double error) {
    // Called on the worker thread: hand the figures to this thread.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, iteration, error] {
          if (self) self->ShowProgress(iteration, error);
        },
        Qt::QueuedConnection);
  };
  CalibrationJob* work = job_.get();
  const std::shared_ptr<std::atomic<bool>> keepFlag = cancel_;
  thread_ = QThread::create([work, options, keepFlag, hook = workerHook_] {
    if (hook) hook();
    work->Run(options);
  });
  connect(thread_, &QThread::finished, this, &CCalibrationRunner::Finish, Qt::QueuedConnection);
  thread_->start();
  return true;
}

void CCalibrationRunner::Cancel() {
  if (!IsRunning()) return;
  cancel_->store(true);
  text_ = title_ + "\nCancelling...";
  if (dialog_) dialog_->setLabelText(text_);
}

bool CCalibrationRunner::Wait(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (IsRunning() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return !IsRunning();
}

void CCalibrationRunner::ShowProgress(int iteration, double error) {
  if (!IsRunning() || cancel_->load()) return;
  lastIteration_ = iteration;
  text_ = title_ + QString("\nIteration %1, RMS error %2 px").arg(iteration).arg(error, 0, 'f', 4);
  if (dialog_) dialog_->setLabelText(text_);
}

void CCalibrationRunner::Finish() {
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  // Gone for good before the results (or a refusal) are shown.
  CloseProgressWindow(dialog_);
  const std::unique_ptr<CalibrationJob> job = std::move(job_);
  job->Commit(*store_);
  if (finished_) finished_(*job);
}
