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
