#include "ui/OptionsDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include "records/Paths.h"

ApplicationOptions LoadApplicationOptions() {
  QSettings settings = ApplicationSettings();
  ApplicationOptions options;
  options.outputFolder = settings.value(kOutputFolderKey, QString()).toString();
  options.detectOnArrival = settings.value(kDetectOnArrivalKey, true).toBool();
  return options;
}

void SaveApplicationOptions(const ApplicationOptions& options) {
  QSettings settings = ApplicationSettings();
  settings.setValue(kOutputFolderKey, options.outputFolder);
  settings.setValue(kDetectOnArrivalKey, options.detectOnArrival);
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
  // The environment outranks this setting: say so, naming the folder in use.
  overriddenLabel_ = new QLabel(this);
  overriddenLabel_->setWordWrap(true);
  const QString forced = qEnvironmentVariable("LENTORA_OUTPUT_DIR");
  if (!forced.isEmpty())
    overriddenLabel_->setText(QString("LENTORA_OUTPUT_DIR is set: output files go to %1 while it is, whatever "
                                      "this field says.")
                                  .arg(forced));
  overriddenLabel_->setVisible(!forced.isEmpty());
  layout->addWidget(overriddenLabel_, 2, 0, 1, 3);
  refusalLabel_ = new QLabel(this);
  refusalLabel_->setStyleSheet("color: #B00000");
  refusalLabel_->hide();
  layout->addWidget(refusalLabel_, 3, 0, 1, 3);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &COptionsDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &COptionsDlg::reject);
  layout->addWidget(buttons, 4, 0, 1, 3);
}

ApplicationOptions COptionsDlg::Options() const {
  ApplicationOptions options;
  options.outputFolder = folder_->text().trimmed();
  options.detectOnArrival = detect_->isChecked();
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

void COptionsDlg::Browse() {
  const QString folder = QFileDialog::getExistingDirectory(this, "Output folder", folder_->text());
  if (!folder.isEmpty()) folder_->setText(folder);
}
