#include "ui/SourceControl.h"

#include <QMessageBox>

#include "core/CalibrationData.h"
#include "imaging/MVG.h"
#include "sources/FrameSampler.h"
#include "ui/LiveGuidance.h"

namespace {
std::function<void(const QString&)>& MessageHandler() {
  static std::function<void(const QString&)> handler;
  return handler;
}
}  // namespace

void ShowSourceMessage(QWidget* parent, const QString& text) {
  if (MessageHandler()) {
    MessageHandler()(text);
    return;
  }
  QMessageBox::warning(parent, "Lentora", text, QMessageBox::Ok);
}

void SetSourceMessageHandler(std::function<void(const QString&)> handler) { MessageHandler() = std::move(handler); }

QString RecordingFailureText(DShow::RecordingFailure failure) {
  using F = DShow::RecordingFailure;
  switch (failure) {
    case F::kGrabberPin: return "Failed to get sample grabber pin!";
    case F::kSmartTee: return "Could not add a smart tee!";
    case F::kConnectTee: return "Failed to add the smart tee!";
    case F::kCaptureFile: return "Failed to set the capture file!";
    case F::kFetchCompressor: return "Unable to fetch compressor!";
    case F::kAddCompressor: return "Unable to add compressor to graph!";
    case F::kConnectMux: return "Unable to connect capture pin and mux!";
    case F::kPreview: return "No preview available!";
    case F::kNullClock: return "Failed to set null clock!";
    case F::kNone: break;
  }
  return "Failed to set the capture file!";
}

QString StartUndistortion(CSourceFrameSampler* sampler, const CCalibrationData* store, double fieldOfView) {
  const QString unchanged = "\nThe frames are recorded as they are.";
  if (!store || store->GetCameraCount() == 0)
    return "Remove Distortion needs the parameters of Camera 1, and there is no camera." + unchanged;
  const CameraParameters camera = store->GetCameraParameters(0);
  if (camera.K[0] == 0.0 || camera.width <= 0 || camera.height <= 0)
    return "Remove Distortion needs the parameters of Camera 1, which is not calibrated." + unchanged;
  int width = 0, height = 0;
  if (!sampler || !sampler->FrameSize(width, height))
    return "Remove Distortion needs the size of the source's frames, which is not known yet." + unchanged;
  if (width != camera.width || height != camera.height)
    return QString("Camera 1 was calibrated on %1 x %2 pictures, but the source's frames are %3 x %4, so its "
                   "distortion cannot be removed from them.")
               .arg(camera.width)
               .arg(camera.height)
               .arg(width)
               .arg(height) +
           unchanged;
  const std::array<double, 4> output = fieldOfView > 0.0 ? MVG::OutputCameraForFieldOfView(camera, fieldOfView)
                                                         : std::array<double, 4>{camera.fx(), camera.fy(), camera.cx(), camera.cy()};
  if (!sampler->EnableUndistortion(camera, output))
    return "No undistortion table could be made from the parameters of Camera 1." + unchanged;
  return {};
}

CLiveGuidance* CSourceControl::MakeGuidance() {
  CLiveGuidance::Hooks hooks;
  hooks.store = [this] { return store_; };
  hooks.settings = [this] { return settings_; };
  hooks.viewsAdded = [this] { RefreshDataPanel(); };
  guidance_ = new CLiveGuidance(std::move(hooks), this);
  return guidance_;
}

QString CaptureRefusalText(const SourceSettings& settings, CSourceFrameSampler* sampler) {
  if (CountSubViews(settings) == 0)
    return "Nothing was captured: this source feeds no camera, because its camera was removed from the "
           "calibration data. Remove the source and add it again to capture from it.";
  if (!sampler || sampler->CloneLatestFrame().empty())
    return "Nothing was captured: no frame has arrived from the source yet.";
  return "Nothing was captured: the frame could not be added to the source's cameras.";
}
