#pragma once
// "Select Video Input Device": one titled entry per capture device; a click
// selects a device.

#include <QDialog>
#include <QRect>
#include <optional>
#include <string>
#include <vector>

class CSourceDetailsPanel;
class QDialogButtonBox;
class QPushButton;

class CSourceSelectDlg : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxDevices = 20;
  static constexpr int kMaxNameChars = 99;
  static constexpr int kPanelIdBase = 100980;
  static constexpr int kListAreaId = 1032;

  // Without a list the devices are enumerated; a given list (tests) is
  // limited the same way.
  explicit CSourceSelectDlg(QWidget* parent = nullptr,
                            std::optional<std::vector<std::string>> devices = std::nullopt);

  // 1-based number of the chosen device in enumeration order, 0 for none.
  int SelectedDevice() const { return selected_ + 1; }
  // Name of device n (1-based), "" when there is none.
  std::string DeviceName(int n) const;
  int DeviceCount() const { return static_cast<int>(names_.size()); }
  CSourceDetailsPanel* Panel(int index) const;
  // Enabled only once a device is chosen, so OK always adds one.
  QPushButton* OkButton() const { return ok_; }
  QRect PanelRect(int index) const;

  // A left click at dialog coordinates.
  void Click(QPoint point);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void CreatePanels();

  std::vector<std::string> names_;
  std::vector<CSourceDetailsPanel*> panels_;
  QPushButton* ok_ = nullptr;
  int selected_ = -1;
};
