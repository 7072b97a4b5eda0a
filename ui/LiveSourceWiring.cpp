#include "ui/LiveSourceWiring.h"

#include "ui/StaticSourcesView.h"
#include "ui/SyncPlayerDlg.h"
#include "ui/VideoCaptureControl.h"
#include "ui/WorkbenchDlg.h"

namespace {
constexpr int kControlLeft = 220;
constexpr int kControlMargin = 10;
}  // namespace

void InstallLiveCaptureAndSyncPlayer(CWorkbenchDlg& window) {
  window.PanelHooks().keyP = [&window] {
    CSyncPlayerDlg player(&window);
    player.exec();
  };
  auto* sources = qobject_cast<CStaticSourcesView*>(window.SourcesPanel());
  if (!sources) return;
  const std::string folder = window.ApplicationFolderPath();
  sources->SetLiveControlFactory([folder](QWidget* parent, int id, int device) -> CSourceControl* {
    auto* control = new CVideoCaptureControl(parent, id);
    control->SetApplicationFolder(folder);
    control->setGeometry(kControlLeft, kControlMargin, std::max(0, parent->width() - kControlLeft - kControlMargin),
                         std::max(0, parent->height() - 2 * kControlMargin));
    control->Layout();
    control->Connect(device);
    return control;
  });
}
