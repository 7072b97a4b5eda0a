#include "ui/SourceControl.h"

#include <QMessageBox>

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
