#pragma once
// The "Image Sources" pane: one titled panel per source down the left side
// and, to the right, the control of the selected source. Adds sources, selects
// one on a click, applies the set-up dialog's result to the source and to the
// cameras, and removes sources.

#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "sources/SourceModel.h"

class CCalibrationData;
class CHoverButtonEx;
class CRemoveSourceOptionsDlg;
class CSourceControl;
class CSourceDetailsPanel;
class CSourceSetupDlg;
class CVideoPlayerControl;

// The calibration data panel's camera operations: the sources panel changes
// the store's cameras only through these, so the entries always follow.
struct DataPanelLink {
  std::function<void(int position)> insertCamera;
  std::function<void(int position)> removeCamera;
  std::function<void()> appendCamera;
  std::function<void()> refresh;  // views were added or cleared
  std::function<void(const std::vector<int>& before)> viewsArrived;  // which ones: counts from before
};

class CStaticSourcesView : public QWidget {
  Q_OBJECT
 public:
  enum ControlId { kIdSetupSource = 1041, kIdRemoveSource = 1040 };
  static constexpr int kControlIdBase = 100123;
  static constexpr int kPanelIdBase = 100190;
  static constexpr int kExpandHeight = 75;
  static constexpr int kButtonGap = 2;
  static constexpr int kButtonRowFromBottom = 40;
  static constexpr int kLeftMargin = 15;
  static constexpr int kButtonSize = 32;
  static constexpr int kControlLeft = 220;
  static constexpr uint32_t kBackground = 0xFF4B4B4B;
  static constexpr uint32_t kSeparator = 0xFF969696;
  static constexpr uint32_t kSelectionColour = 0xFFFFBF00;

  // Makes a live source's control (a child of the panel, laid out and
  // connected to the device); null when the device cannot be used.
  using LiveControlFactory = std::function<CSourceControl*(QWidget* parent, int id, int device)>;

  explicit CStaticSourcesView(QWidget* parent = nullptr, int id = 0);
  ~CStaticSourcesView() override;

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  void SetStore(CCalibrationData* store) { store_ = store; }
  void SetDataPanel(DataPanelLink link) { dataPanel_ = std::move(link); }
  void SetLiveControlFactory(LiveControlFactory factory) { liveFactory_ = std::move(factory); }
  // Dialog runners; unset members run the dialogs modally.
  void SetSetupDialogRunner(std::function<bool(CSourceSetupDlg&)> runner) { runSetup_ = std::move(runner); }
  void SetRemoveDialogRunner(std::function<bool(CRemoveSourceOptionsDlg&)> runner) { runRemove_ = std::move(runner); }

  // Once, when the panel has its size.
  void Layout();

  // The main window appends one camera after each of these.
  CVideoPlayerControl* AddVideoSource(const std::string& path, const std::string& title, const std::string& extension);
  CSourceControl* AddLiveSource(int device, const std::string& name);

  // A left click at panel coordinates.
  void Click(int x, int y);
  // Commands.
  void SetupSource();
  void RemoveSource();
  // A camera was removed elsewhere (the data panel): sources stop feeding it
  // and later camera numbers move down.
  void CameraRemoved(int camera);
  // Every camera went (a new workspace): so do the sources.
  void RemoveAllSources();

  int SourceCount() const { return static_cast<int>(controls_.size()); }
  int Selected() const { return selected_; }
  int SourceKind(int source) const;
  CSourceControl* Control(int source) const;
  CSourceDetailsPanel* Panel(int source) const;
  QRect PanelRect(int source) const;
  CSourceSetupDlg& SetupDialog() { return *setupDialog_; }
  CHoverButtonEx* Button(int id) const;
  const QImage& BackBuffer() const { return image_; }
  // First camera a source feeds.
  int FirstCameraOf(int source) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Redraw();
  void AppendSource(CSourceControl* control, int kind, const QString& title);
  QRect NextPanelRect() const;
  void ResizePanel(int source, int delta);
  void ShowSelectedControl();
  void ChangeCameraCount(int source, int firstCamera, int oldCount, int newCount);
  // Camera numbers of every source but one after a camera was inserted
  // (delta +1) or removed (delta -1) at `position`.
  void RenumberCameras(int exceptSource, int position, int delta);
  void DeleteSource(int source);
  void CloseUpPanels(int from);
  int NextCameraNumber() const;
  // True when the source's cameras hold no views, or the user agrees to
  // discard them.
  bool ConfirmDiscardingViews(int firstCamera, int count);

  int id_;
  std::string applicationFolder_;
  CCalibrationData* store_ = nullptr;
  DataPanelLink dataPanel_;
  LiveControlFactory liveFactory_;
  std::function<bool(CSourceSetupDlg&)> runSetup_;
  std::function<bool(CRemoveSourceOptionsDlg&)> runRemove_;

  // Parallel lists in source order.
  std::vector<CSourceDetailsPanel*> panels_;
  std::vector<QRect> panelRects_;
  std::vector<int> kinds_;
  std::vector<CSourceControl*> controls_;  // children of the panel
  int selected_ = -1;

  CSourceSetupDlg* setupDialog_ = nullptr;
  QImage image_;
  QFont font_;
  CHoverButtonEx* setupButton_ = nullptr;
  CHoverButtonEx* removeButton_ = nullptr;
};
