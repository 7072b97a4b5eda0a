#pragma once
// Recording settings: compressor, output file, network synchronisation and
// undistortion. Used by the video player and the live capture control.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>

class CCalibrationData;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QPushButton;

class CCaptureSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  enum ControlId {
    kIdCompressor = 1044,
    kIdFileName = 1046,
    kIdBrowse = 1063,
    kIdServerAddress = 1047,
    kIdPort = 1048,
    kIdNetworkSync = 1049,
    kIdClient = 1050,
    kIdRemoveDistortion = 1064,
    kIdCameraList = 1066,
    kIdPeerPort = 1067,
    kIdFieldOfView = 1068,
  };
  // The widest output field of view "Remove Distortion" offers, in degrees:
  // a pinhole picture cannot show 180.
  static constexpr double kMaxFieldOfView = 179.0;
  static constexpr int kMaxCompressors = 100;
  static constexpr int kMaxCompressorChars = 259;
  static constexpr uint16_t kDefaultPort = 4000;
  static constexpr const char* kDefaultServerAddress = "127.0.0.1";

  explicit CCaptureSettingsDlg(CCalibrationData* store, QWidget* parent = nullptr);

  int CompressorIndex() const;
  std::string FileName() const;
  // The other machine's address: the server's on a client, the client's on
  // the server. Only its datagrams are acted on.
  std::string ServerAddress() const;
  // This machine's port, and the other machine's (the same unless given).
  uint16_t Port() const;
  uint16_t PeerPort() const;
  bool NetworkSync() const;
  bool Client() const;
  bool RemoveDistortion() const;
  // Width in degrees of the undistorted picture; 0: the camera's own matrix.
  double FieldOfView() const;

  // OK refuses an empty file name or a missing folder, and asks before an
  // existing file is replaced (unless "..." already asked about it).
  void accept() override;

  // Setters for scripted use (tests, command lines).
  void SetCompressorIndex(int index);
  void SetFileName(const std::string& path);
  void SetNetworkSync(bool on, bool client);
  void SetLink(const std::string& peerAddress, uint16_t port, uint16_t peerPort);
  void SetRemoveDistortion(bool on);
  void SetFieldOfView(double degrees);

  int CompressorCount() const;  // including "No compression"
  QString CompressorName(int index) const;

 protected:
  virtual QString AskSaveFile();
  // True when the user agrees to replace the existing file.
  virtual bool AskOverwrite(const QString& path);
  virtual void ShowRefusal(const QString& text);

 private:
  void FillLists(CCalibrationData* store);
  void OnBrowse();

  QComboBox* compressor_ = nullptr;
  QLineEdit* fileName_ = nullptr;
  QPushButton* browse_ = nullptr;
  QLineEdit* server_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* peerPort_ = nullptr;
  QCheckBox* networkSync_ = nullptr;
  QCheckBox* client_ = nullptr;
  QCheckBox* removeDistortion_ = nullptr;
  QDoubleSpinBox* fieldOfView_ = nullptr;
  QComboBox* cameras_ = nullptr;
  // The file the save dialog already confirmed replacing.
  QString confirmedPath_;
};
