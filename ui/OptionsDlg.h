#pragma once
// "Options...": the application's settings (ui/ApplicationSettings.h): the
// folder fixed output files go to, whether a view's grid is detected as soon
// as it arrives, and the guidance of live and playing sources' previews.

#include <QDialog>
#include <QString>

#include "ui/ApplicationSettings.h"

class QCheckBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QLineEdit;

struct ApplicationOptions {
  QString outputFolder;  // empty: the application folder
  bool detectOnArrival = true;
  LiveGuidanceOptions live;
};

ApplicationOptions LoadApplicationOptions();
void SaveApplicationOptions(const ApplicationOptions& options);
// Makes the stored output folder the one fixed output files go to.
void ApplyApplicationOptions(const ApplicationOptions& options);

class COptionsDlg : public QDialog {
  Q_OBJECT
 public:
  explicit COptionsDlg(const ApplicationOptions& options, QWidget* parent = nullptr);

  ApplicationOptions Options() const;
  QLineEdit* FolderField() const { return folder_; }
  QCheckBox* DetectBox() const { return detect_; }
  QCheckBox* LiveGuidanceBox() const { return liveGuidance_; }
  QCheckBox* AutoCaptureBox() const { return autoCapture_; }
  QDoubleSpinBox* AutoCaptureDistanceField() const { return distance_; }
  // Shown when LENTORA_OUTPUT_DIR overrides the field, naming its folder.
  QLabel* OverriddenLabel() const { return overriddenLabel_; }
  // OK: refused, with the reason shown in the dialog, while the folder field names no folder.
  void accept() override;
  // Why OK was refused last ("" when it was not).
  QString Refusal() const { return refusal_; }

 private:
  void Browse();
  void AddLiveGuidanceFields(QGridLayout& layout, const LiveGuidanceOptions& live);

  QLineEdit* folder_ = nullptr;
  QCheckBox* detect_ = nullptr;
  QCheckBox* liveGuidance_ = nullptr;
  QCheckBox* autoCapture_ = nullptr;
  QDoubleSpinBox* distance_ = nullptr;
  QLabel* refusalLabel_ = nullptr;
  QLabel* overriddenLabel_ = nullptr;
  QString refusal_;
};
