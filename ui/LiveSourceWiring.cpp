#include "ui/LiveSourceWiring.h"

#include <algorithm>

#include "ui/SyncPlayerDlg.h"
#include "ui/VideoCaptureControl.h"

namespace {
constexpr int kControlLeft = 220;
constexpr int kControlMargin = 10;
}  // namespace

CStaticSourcesView::LiveControlFactory LiveCaptureControls(const std::string& applicationFolder) {
  return [applicationFolder](QWidget* parent, int id, int device) -> CSourceControl* {
    auto* control = new CVideoCaptureControl(parent, id);
    control->SetApplicationFolder(applicationFolder);
    control->setGeometry(kControlLeft, kControlMargin, std::max(0, parent->width() - kControlLeft - kControlMargin),
                         std::max(0, parent->height() - 2 * kControlMargin));
    control->Layout();
    control->Connect(device);
    return control;
  };
}

void RunSyncPlayer(QWidget* parent) {
  CSyncPlayerDlg player(parent);
  player.exec();
}
