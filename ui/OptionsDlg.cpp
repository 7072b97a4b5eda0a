#include "ui/OptionsDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include "records/Paths.h"
#include "ui/LiveGuidance.h"

ApplicationOptions LoadApplicationOptions() {
  QSettings settings = ApplicationSettings();
  ApplicationOptions options;
  options.outputFolder = settings.value(kOutputFolderKey, QString()).toString();
  options.detectOnArrival = settings.value(kDetectOnArrivalKey, true).toBool();
  options.live = LoadLiveGuidanceOptions();
  return options;
}

void SaveApplicationOptions(const ApplicationOptions& options) {
  QSettings settings = ApplicationSettings();
  settings.setValue(kOutputFolderKey, options.outputFolder);
  settings.setValue(kDetectOnArrivalKey, options.detectOnArrival);
  settings.setValue(kLiveGuidanceKey, options.live.detect);
  settings.setValue(kAutoCaptureKey, options.live.autoCapture);
  settings.setValue(kAutoCaptureDistanceKey, options.live.distance);
  SetLiveGuidanceOptions(options.live);
}

void ApplyApplicationOptions(const ApplicationOptions& options) {
  SetConfiguredOutputFolder(options.outputFolder.toStdString());
}

COptionsDlg::COptionsDlg(const ApplicationOptions& options, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Options");
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel("Output folder:", this), 0, 0);
  folder_ = new QLineEdit(options.outputFolder, this);
  folder_->setPlaceholderText(QString("empty: %1").arg(QString::fromStdString(
      DefaultOutputFolder(ApplicationFolder(), QCoreApplication::applicationDirPath().toStdString()))));
  folder_->setMinimumWidth(280);
  layout->addWidget(folder_, 0, 1);
  auto* browse = new QPushButton("Browse...", this);
  browse->setAutoDefault(false);
  connect(browse, &QPushButton::clicked, this, &COptionsDlg::Browse);
  layout->addWidget(browse, 0, 2);
  detect_ = new QCheckBox("Detect the grid in each view as it arrives", this);
  detect_->setChecked(options.detectOnArrival);
  layout->addWidget(detect_, 1, 0, 1, 3);
  AddLiveGuidanceFields(*layout, options.live);
  // The environment outranks this setting: say so, naming the folder in use.
  overriddenLabel_ = new QLabel(this);
  overriddenLabel_->setWordWrap(true);
  const QString forced = qEnvironmentVariable("LENTORA_OUTPUT_DIR");
  if (!forced.isEmpty())
    overriddenLabel_->setText(QString("LENTORA_OUTPUT_DIR is set: output files go to %1 while it is, whatever "
                                      "this field says.")
                                  .arg(forced));
  overriddenLabel_->setVisible(!forced.isEmpty());
  layout->addWidget(overriddenLabel_, 5, 0, 1, 3);
  refusalLabel_ = new QLabel(this);
  refusalLabel_->setStyleSheet("color: #B00000");
  refusalLabel_->hide();
  layout->addWidget(refusalLabel_, 6, 0, 1, 3);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &COptionsDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &COptionsDlg::reject);
  layout->addWidget(buttons, 7, 0, 1, 3);
}

ApplicationOptions COptionsDlg::Options() const {
  ApplicationOptions options;
  options.outputFolder = folder_->text().trimmed();
  options.detectOnArrival = detect_->isChecked();
  options.live.detect = liveGuidance_->isChecked();
  options.live.autoCapture = autoCapture_->isChecked();
  options.live.distance = distance_->value();
  return options;
}

void COptionsDlg::accept() {
  const QString folder = folder_->text().trimmed();
  refusal_.clear();
  if (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
    refusal_ = QString("The output folder \"%1\" does not exist.").arg(folder);
    refusalLabel_->setText(refusal_);
    refusalLabel_->show();
    return;
  }
  QDialog::accept();
}

// Rows 2 to 4: looking for the board in a source's preview, and capturing
// the frames whose board adds coverage.
void COptionsDlg::AddLiveGuidanceFields(QGridLayout& layout, const LiveGuidanceOptions& live) {
  liveGuidance_ = new QCheckBox("Look for the board in live and playing video (outline and coverage bars)", this);
  liveGuidance_->setChecked(live.detect);
  layout.addWidget(liveGuidance_, 2, 0, 1, 3);
  autoCapture_ = new QCheckBox("Capture automatically when a frame adds coverage", this);
  autoCapture_->setChecked(live.autoCapture);
  layout.addWidget(autoCapture_, 3, 0, 1, 3);
  layout.addWidget(new QLabel("New board when it differs from every view by more than:", this), 4, 0, 1, 2);
  distance_ = new QDoubleSpinBox(this);
  distance_->setRange(0.01, 4.0);
  distance_->setDecimals(2);
  distance_->setSingleStep(0.05);
  distance_->setValue(live.distance);
  distance_->setToolTip("Sum of the differences in X, Y, size and skew (each 0 to 1)");
  layout.addWidget(distance_, 4, 2);
  const auto follow = [this] { distance_->setEnabled(autoCapture_->isChecked() && liveGuidance_->isChecked()); };
  connect(autoCapture_, &QCheckBox::toggled, this, follow);
  connect(liveGuidance_, &QCheckBox::toggled, this, follow);
  follow();
}

void COptionsDlg::Browse() {
  const QString folder = QFileDialog::getExistingDirectory(this, "Output folder", folder_->text());
  if (!folder.isEmpty()) folder_->setText(folder);
}
