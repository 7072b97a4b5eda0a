#include "ui/CaptureSettingsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "core/CalibrationData.h"
#include "records/Paths.h"
#include "sources/media/DShow.h"

CCaptureSettingsDlg::CCaptureSettingsDlg(CCalibrationData* store, QWidget* parent) : QDialog(parent) {
  setWindowTitle("Recording Settings");
  compressor_ = new QComboBox(this);
  fileName_ = new QLineEdit(QString::fromStdString(OutputPath("TestFile.avi")), this);
  browse_ = new QPushButton("...", this);
  server_ = new QLineEdit(kDefaultServerAddress, this);
  port_ = new QLineEdit(QString::number(kDefaultPort), this);
  port_->setValidator(new QIntValidator(0, 65535, port_));
  peerPort_ = new QLineEdit(this);
  peerPort_->setValidator(new QIntValidator(1, 65535, peerPort_));
  peerPort_->setPlaceholderText("the same");
  server_->setToolTip("The other machine: the server's address on a client, the client's on the server.\n"
                      "Datagrams from anywhere else are ignored.");
  peerPort_->setToolTip("The port the other machine listens on; empty when it is this machine's port.\n"
                        "Two programs on one machine need two ports.");
  networkSync_ = new QCheckBox("Network Sync Sgnal", this);
  client_ = new QCheckBox("Client", this);
  removeDistortion_ = new QCheckBox("Remove Distortion", this);
  fieldOfView_ = new QDoubleSpinBox(this);
  fieldOfView_->setObjectName("fieldOfView");
  fieldOfView_->setRange(0.0, kMaxFieldOfView);
  fieldOfView_->setDecimals(1);
  fieldOfView_->setSingleStep(5.0);
  fieldOfView_->setSuffix(QString::fromUtf8("\u00b0"));
  fieldOfView_->setSpecialValueText("The camera's own");
  fieldOfView_->setToolTip("How wide, in degrees, the undistorted picture is. \"The camera's own\" keeps the camera's\n"
                           "focal length, which shows only the middle of a wide fisheye; a width shows that much of\n"
                           "the view, centred on the picture.");
  fieldOfView_->setEnabled(false);
  cameras_ = new QComboBox(this);

  auto* fileRow = new QHBoxLayout();
  fileRow->addWidget(fileName_);
  fileRow->addWidget(browse_);
  auto* form = new QFormLayout();
  form->addRow("Compressor", compressor_);
  form->addRow("File", fileRow);
  form->addRow("Peer address", server_);
  form->addRow("Port", port_);
  form->addRow("Peer port", peerPort_);
  form->addRow(networkSync_);
  form->addRow(client_);
  form->addRow(removeDistortion_);
  form->addRow("Field of view", fieldOfView_);
  form->addRow("Camera", cameras_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(browse_, &QPushButton::clicked, this, &CCaptureSettingsDlg::OnBrowse);
  connect(removeDistortion_, &QCheckBox::toggled, fieldOfView_, &QWidget::setEnabled);
  FillLists(store);
}

void CCaptureSettingsDlg::FillLists(CCalibrationData* store) {
  compressor_->addItem(DShow::kNoCompressionName);
  std::vector<std::string> names;
  DShow::EnumVideoCompressors(names, kMaxCompressors, kMaxCompressorChars);
  for (const std::string& name : names) compressor_->addItem(QString::fromStdString(name));
  compressor_->setCurrentIndex(0);
  const int cameraCount = store ? store->GetCameraCount() : 0;
  for (int i = 0; i < cameraCount; ++i) cameras_->addItem(QString("Camera %1").arg(i + 1));
}

QString CCaptureSettingsDlg::AskSaveFile() {
  return QFileDialog::getSaveFileName(this, QString(), fileName_->text(), QString(), nullptr,
                                      QFileDialog::DontUseNativeDialog);
}

void CCaptureSettingsDlg::OnBrowse() {
  const QString path = AskSaveFile();
  if (path.isEmpty()) return;
  fileName_->setText(path);
  confirmedPath_ = path;
}

bool CCaptureSettingsDlg::AskOverwrite(const QString& path) {
  return QMessageBox::question(this, windowTitle(),
                               QString("%1 already exists.\nDo you want to replace it?").arg(path),
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void CCaptureSettingsDlg::ShowRefusal(const QString& text) { QMessageBox::warning(this, windowTitle(), text); }

void CCaptureSettingsDlg::accept() {
  const QString path = fileName_->text().trimmed();
  if (path.isEmpty()) {
    ShowRefusal("Enter the name of the file to record to.");
    return;
  }
  const QFileInfo file(path);
  if (!file.absoluteDir().exists()) {
    ShowRefusal(QString("The folder %1 does not exist.").arg(file.absolutePath()));
    return;
  }
  if (file.isDir()) {
    ShowRefusal(QString("%1 is a folder.").arg(path));
    return;
  }
  if (file.exists() && path != confirmedPath_ && !AskOverwrite(path)) return;
  fileName_->setText(path);
  QDialog::accept();
}

int CCaptureSettingsDlg::CompressorIndex() const { return std::max(0, compressor_->currentIndex()); }
std::string CCaptureSettingsDlg::FileName() const { return fileName_->text().toStdString(); }
std::string CCaptureSettingsDlg::ServerAddress() const { return server_->text().toStdString(); }
uint16_t CCaptureSettingsDlg::Port() const { return static_cast<uint16_t>(port_->text().toUInt()); }
uint16_t CCaptureSettingsDlg::PeerPort() const {
  const uint port = peerPort_->text().trimmed().toUInt();
  return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : Port();
}
bool CCaptureSettingsDlg::NetworkSync() const { return networkSync_->isChecked(); }
bool CCaptureSettingsDlg::Client() const { return client_->isChecked(); }
bool CCaptureSettingsDlg::RemoveDistortion() const { return removeDistortion_->isChecked(); }
double CCaptureSettingsDlg::FieldOfView() const { return fieldOfView_->value(); }
int CCaptureSettingsDlg::CompressorCount() const { return compressor_->count(); }
QString CCaptureSettingsDlg::CompressorName(int index) const { return compressor_->itemText(index); }

void CCaptureSettingsDlg::SetCompressorIndex(int index) {
  if (index >= 0 && index < compressor_->count()) compressor_->setCurrentIndex(index);
}
void CCaptureSettingsDlg::SetFileName(const std::string& path) { fileName_->setText(QString::fromStdString(path)); }
void CCaptureSettingsDlg::SetNetworkSync(bool on, bool client) {
  networkSync_->setChecked(on);
  client_->setChecked(client);
}
void CCaptureSettingsDlg::SetLink(const std::string& peerAddress, uint16_t port, uint16_t peerPort) {
  server_->setText(QString::fromStdString(peerAddress));
  port_->setText(QString::number(port));
  peerPort_->setText(peerPort == port ? QString() : QString::number(peerPort));
}
void CCaptureSettingsDlg::SetRemoveDistortion(bool on) { removeDistortion_->setChecked(on); }
void CCaptureSettingsDlg::SetFieldOfView(double degrees) { fieldOfView_->setValue(degrees); }
