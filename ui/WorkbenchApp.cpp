#include "ui/WorkbenchApp.h"

#include <QApplication>
#include <QString>
#include <cstdlib>

#include "core/Paths.h"
#include "ui/WorkbenchDlg.h"

bool WorkbenchDisplayAvailable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

int CWorkbenchApp::Run(int argc, char** argv, const std::string& workspacePath) {
  QApplication application(argc, argv);
  // Profile settings live under this organisation, as they always have.
  QApplication::setOrganizationName("Local AppWizard-Generated Applications");
  QApplication::setApplicationName("Lentora");
  CWorkbenchDlg window(ApplicationFolder());
  if (!workspacePath.empty()) window.OpenStartupWorkspace(QString::fromStdString(workspacePath));
  window.exec();
  return 0;
}
