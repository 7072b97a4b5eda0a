#pragma once
// The calibration data panel: one titled entry per camera down the left
// side, the selected camera's image list on the right, and buttons to add a
// camera, calibrate the selected camera and calibrate cameras 0 and 1 as a
// stereo rig. The selected entry grows by 75 pixels to show its results text.

#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/Records.h"

class CCalibrationData;
class CHoverButtonEx;
class CImageListControl;
class CGridDetector;
class QProgressDialog;
struct DetectionSummary;

// A camera's entry: a title strip over an information text.
class CCameraEntryPanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTitleHeight = 16;

  explicit CCameraEntryPanel(QWidget* parent = nullptr, int id = 0);
  int Id() const { return id_; }
  void Layout();
  void SetTexts(const QString& title, const QString& information);
  void SetTitle(const QString& title);
  void SetInformation(const QString& information);
  void SetTitleColour(uint32_t argb);
  QString Title() const { return title_; }
  QString Information() const { return information_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int id_;
  QString title_;
  QString information_;
  uint32_t titleColour_ = 0xFF3C3C3C;
  QFont titleFont_;
  QFont textFont_;
};

// The tool windows the panel drives; unset members do nothing.
struct DataPanelTools {
  // Shows the object editor on a camera at a view.
  std::function<void(int camera, int view)> openEditor;
  // Shows a camera's run in the results window after it was calibrated.
  std::function<void(int camera)> showCalibration;
};

class CStaticDataView : public QWidget {
  Q_OBJECT
 public:
  enum ControlId {
    kIdNewCamera = 1046,
    kIdCalibrate = 1039,
    kIdCalibrateStereo = 1042,
    kIdRemoveCamera = 1066,
    kIdDetectAll = 1071,
    kImageListIdBase = 100123,
    kEntryIdBase = 100190,
  };
  static constexpr int kButtonGap = 2;
  static constexpr int kButtonRowFromBottom = 40;
  static constexpr int kFirstButtonX = 15;
  static constexpr int kButtonSize = 32;
  static constexpr int kEntryExpansion = 75;
  static constexpr int kEntryHeight = 30;
  static constexpr int kEntrySpacing = 5;
  static constexpr int kListLeft = 220;
  static constexpr int kListTop = 10;
  static constexpr uint32_t kPanelColour = 0xFF4B4B4B;
  static constexpr uint32_t kSeparatorColour = 0xFF969696;
  static constexpr uint32_t kSelectionColour = 0xFFFFBF00;

  explicit CStaticDataView(QWidget* parent = nullptr, int id = 0);
  ~CStaticDataView() override;

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  // Back buffer at the client size, the separator and the four buttons; call
  // once the panel has its size.
  void Init();
  void SetStore(CCalibrationData* store);
  void SetTools(DataPanelTools tools) { tools_ = std::move(tools); }
  // The workbench's detector: "Detect all" and the views added by the image lists.
  void SetDetector(CGridDetector* detector);
  // Message boxes and file dialogs; unset members use the real ones.
  struct Prompts {
    std::function<void(const QString& text)> message;
    std::function<QString()> parameterFile;  // "" when cancelled
    std::function<QStringList()> imageFiles;  // empty when cancelled
  };
  void SetPrompts(Prompts prompts) { prompts_ = std::move(prompts); }

  // Entries.
  void AddCameraEntry();
  void InsertCameraEntry(int position);
  void RemoveCameraEntry(int position);

  // Selects an entry as a click on it would.
  void SelectEntry(int entry);
  // Input from the main window, in panel coordinates.
  void Click(int x, int y);
  void DoubleClick(int x, int y);
  void KeyPressed(int key);

  // Commands.
  void NewCamera();
  void Calibrate();
  void CalibrateStereoRig();
  void LoadParameters();
  void LoadParametersFrom(const QString& path);
  // Searches every view of the selected camera on the detector's thread with a
  // progress window and Cancel; the summary follows as a message.
  void DetectAll();
  QProgressDialog* DetectionProgress() const { return progress_; }

  // State.
  int EntryCount() const { return static_cast<int>(entries_.size()); }
  int SelectedCamera() const { return selectedCamera_; }
  QRect EntryRect(int entry) const;
  QString EntryTitle(int entry) const;
  QString EntryText(int entry) const;
  CImageListControl* ImageList(int entry) const;
  CCameraEntryPanel* EntryPanel(int entry) const;
  CHoverButtonEx* Button(int id) const;
  const QImage& BackBuffer() const { return backBuffer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void ShowMessage(const QString& text);
  QString AskParameterFile();
  QStringList AskImageFiles();
  void CreateButtons();
  void Redraw();
  QRect ImageListRect() const;
  CImageListControl* CreateImageList(int camera, int controlId);
  CCameraEntryPanel* CreateEntryPanel(int controlId, const QRect& rect, const QString& information);
  void MoveEntriesFrom(int first, int dy);
  void RetitleEntriesFrom(int first);
  void ResizeEntry(int entry, int dy);
  void ShowSelectedList();
  void DetectionFinished(const DetectionSummary& summary);

  int id_;
  std::string applicationFolder_;
  std::vector<CCameraEntryPanel*> entries_;
  std::vector<QRect> entryRects_;
  std::vector<CImageListControl*> imageLists_;
  int selectedCamera_ = -1;
  CCalibrationData* store_ = nullptr;
  DataPanelTools tools_;
  Prompts prompts_;
  std::array<CHoverButtonEx*, 5> buttons_{};
  CGridDetector* detector_ = nullptr;
  QProgressDialog* progress_ = nullptr;
  QImage backBuffer_;
  QFont font_;
  bool initialised_ = false;
};
