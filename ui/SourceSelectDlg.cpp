#include "ui/SourceSelectDlg.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include "sources/media/DShow.h"
#include "ui/SourceDetailsPanel.h"

namespace {
constexpr int kPanelLeft = 10;
constexpr int kPanelWidth = 190;
constexpr int kPanelHeight = 30;
constexpr int kPanelSpacing = 5;
constexpr uint32_t kPanelTitleColour = 0xFF3C3C3C;
constexpr uint32_t kSelectionColour = 0xFFC80000;
constexpr int kTitleBarAllowance = 140;

std::vector<std::string> LimitDevices(std::vector<std::string> names) {
  if (names.size() > static_cast<size_t>(CSourceSelectDlg::kMaxDevices)) names.resize(CSourceSelectDlg::kMaxDevices);
  for (std::string& name : names)
    if (name.size() > static_cast<size_t>(CSourceSelectDlg::kMaxNameChars)) name.resize(CSourceSelectDlg::kMaxNameChars);
  return names;
}
}  // namespace

CSourceSelectDlg::CSourceSelectDlg(QWidget* parent, std::optional<std::vector<std::string>> devices)
    : QDialog(parent) {
  setWindowTitle("Select Video Input Device");
  if (devices) {
    names_ = LimitDevices(std::move(*devices));
  } else {
    DShow::EnumVideoCaptureDevices(names_, kMaxDevices, kMaxNameChars);
    names_ = LimitDevices(std::move(names_));
  }
  CreatePanels();
  int listBottom = panels_.empty() ? 10 : PanelRect(DeviceCount() - 1).bottom() + 10;
  if (panels_.empty()) {
    auto* none = new QLabel("No video input device was found.", this);
    none->move(kPanelLeft, listBottom);
    none->adjustSize();
    listBottom = none->geometry().bottom() + 10;
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setEnabled(false);  // until a device is chosen
  buttons->move(kPanelLeft, listBottom + 5);
  buttons->adjustSize();
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // Wide enough for its title, with room for the window manager's buttons.
  const int titleWidth = QFontMetrics(font()).horizontalAdvance(windowTitle()) + kTitleBarAllowance;
  setFixedSize(std::max({kPanelLeft * 2 + kPanelWidth, buttons->width() + 2 * kPanelLeft, titleWidth}),
               buttons->y() + buttons->height() + 10);
}

void CSourceSelectDlg::CreatePanels() {
  for (int i = 0; i < DeviceCount(); ++i) {
    auto* panel = new CSourceDetailsPanel(this, kPanelIdBase + i);
    panel->setGeometry(kPanelLeft, 10 + i * (kPanelHeight + kPanelSpacing), kPanelWidth, kPanelHeight);
    panel->Layout();
    panel->SetTexts(QString::fromStdString(names_[i]), ".....");
    panel->SetTitleColour(kPanelTitleColour);
    // Clicks on a panel select its device through the dialog.
    panel->setAttribute(Qt::WA_TransparentForMouseEvents);
    panel->show();
    panels_.push_back(panel);
  }
}

std::string CSourceSelectDlg::DeviceName(int n) const {
  if (n < 1 || n > DeviceCount()) return {};
  return names_[n - 1];
}

CSourceDetailsPanel* CSourceSelectDlg::Panel(int index) const {
  return index >= 0 && index < DeviceCount() ? panels_[index] : nullptr;
}

QRect CSourceSelectDlg::PanelRect(int index) const {
  return index >= 0 && index < DeviceCount() ? panels_[index]->geometry() : QRect();
}

void CSourceSelectDlg::Click(QPoint point) {
  for (int i = 0; i < DeviceCount(); ++i) {
    if (PanelRect(i).contains(point)) {
      selected_ = i;
      ok_->setEnabled(true);
      update();
      return;
    }
  }
}

void CSourceSelectDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) Click(event->position().toPoint());
  QDialog::mousePressEvent(event);
}

void CSourceSelectDlg::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  if (selected_ < 0) return;
  QPainter painter(this);
  painter.setPen(QPen(QColor::fromRgba(kSelectionColour), 1));
  const QRect r = PanelRect(selected_);
  painter.drawRect(QRect(r.left() - 3, r.top() - 3, r.width() + 5, r.height() + 5));
}
