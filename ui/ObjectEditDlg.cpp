#include "ui/ObjectEditDlg.h"

#include <QCursor>
#include <QMouseEvent>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <algorithm>

#include "core/CalibrationData.h"
#include "grid/GridExtraction.h"
#include "imaging/GDI.h"
#include "widgets/DialogUnits.h"
#include "widgets/HoverButtonEx.h"
#include "ui/GridDetector.h"
#include "ui/ObjectProperties.h"
#include "widgets/StaticEx.h"

namespace {

constexpr uint32_t kWindowColour = 0xFFA0A0A0;   // RGB(160,160,160)
constexpr uint32_t kTitleColour = 0xFF2F2F2F;    // RGB(47,47,47)
constexpr uint32_t kPanelColour = 0xFF4B4B4B;    // RGB(75,75,75)
constexpr uint32_t kPanelWindowColour = 0x4B4B4B;
constexpr uint32_t kImageAreaColour = 0xFF1E1E1E;
constexpr uint32_t kCornerColour = 0xFFFF0000;
constexpr uint32_t kBorderPointColour = 0xFFFF00FF;
constexpr uint32_t kBorderLineColour = 0xFF00FF00;
constexpr int kPanelButtonPitch = 39;
constexpr int kPanelButtonSize = 36;
constexpr int kTitleButtonSize = 24;

QPen MarkPen(uint32_t argb) { return QPen(QColor::fromRgba(argb), 2); }

// The image area (a static frame in the window template): it paints what the
// editor tells it and lets mouse presses through to the window, which does
// the hit testing in window coordinates.
class CImageAreaFrame : public QWidget {
 public:
  CImageAreaFrame(CObjectEditDlg* editor, QWidget* parent) : QWidget(parent), editor_(editor) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    editor_->PaintImageArea(painter);
  }

 private:
  CObjectEditDlg* editor_;
};

}  // namespace

QCursor SelectionCursor() {
  // A thin cross-hair with an open centre, dark on a light outline so it
  // reads on bright and dark parts of a chequerboard alike.
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  const auto drawCross = [&painter](const QPen& pen) {
    painter.setPen(pen);
    painter.drawLine(QPointF(15.5, 1), QPointF(15.5, 11));
    painter.drawLine(QPointF(15.5, 20), QPointF(15.5, 30));
    painter.drawLine(QPointF(1, 15.5), QPointF(11, 15.5));
    painter.drawLine(QPointF(20, 15.5), QPointF(30, 15.5));
    painter.drawEllipse(QPointF(15.5, 15.5), 4.5, 4.5);
  };
  painter.setRenderHint(QPainter::Antialiasing);
  drawCross(QPen(QColor(255, 255, 255, 220), 3));
  drawCross(QPen(QColor(0, 0, 0), 1));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(255, 0, 255));
  painter.drawRect(QRectF(15, 15, 1, 1));
  painter.end();
  return QCursor(pixmap, 15, 15);
}

CObjectEditDlg* CreateObjectEditor(QWidget* owner, const std::string& applicationFolder, CCalibrationData* data) {
  auto* editor = new CObjectEditDlg(owner);
  editor->SetApplicationFolder(applicationFolder);
  editor->SetData(data);
  editor->Create();
  editor->hide();
  return editor;
}

CObjectEditDlg::CObjectEditDlg(QWidget* parent) : QDialog(parent, Qt::Window | Qt::FramelessWindowHint) {
  setFont(DialogFont());
  setWindowTitle("Calibration Object Editor");
  setModal(false);
}

// The controls are children and go with the window; nothing else is held.
CObjectEditDlg::~CObjectEditDlg() = default;

void CObjectEditDlg::Create() {
  if (created_) return;
  created_ = true;
  const DialogUnits du(font());
  resize(du.X(256), du.Y(247));
  CreatePanels();
  CreateTemplateButtons();
  CreateImageButtons();
  showPoints_ = true;
}

void CObjectEditDlg::CreatePanels() {
  const DialogUnits du(font());
  title_ = new CStaticEx(this, kIdTitle);
  const int titleHeight = du.Rect(0, 0, 249, 17).height();
  title_->setGeometry(0, 0, width(), titleHeight);
  title_->SetColours(kTitleColour, 0xFFFFFFFF);
  title_->SetTextOrigin(QPoint(4, 1));
  title_->Init();
  title_->SetText(" Calibration Object Editor \n Lentora");
  titleRect_ = QRect(0, 0, width(), titleHeight);
  controls_[kIdTitle] = title_;

  sidePanel_ = new CStaticEx(this, kIdSidePanel);
  sidePanel_->setGeometry(du.Rect(7, 23, 24, 188));
  sidePanel_->SetColours(kPanelColour, 0xFFFFFFFF);
  sidePanel_->Init();
  controls_[kIdSidePanel] = sidePanel_;

  bottomPanel_ = new CStaticEx(this, kIdBottomPanel);
  bottomPanel_->setGeometry(du.Rect(34, 214, 215, 26));
  bottomPanel_->SetColours(kPanelColour, 0xFFFFFFFF);
  bottomPanel_->Init();
  controls_[kIdBottomPanel] = bottomPanel_;

  imageAreaControl_ = new CImageAreaFrame(this, this);
  imageAreaControl_->setGeometry(du.Rect(34, 23, 215, 188));
  controls_[kIdImageArea] = imageAreaControl_;
  imageArea_ = imageAreaControl_->rect();
  imageAreaInWindow_ = imageAreaControl_->geometry();
}

// The template's plain buttons that stay hidden: "Estimate" runs the
// estimation on demand; "dp" and "dm" have no handler.
void CObjectEditDlg::CreateTemplateButtons() {
  const DialogUnits du(font());
  struct Hidden {
    int id;
    const char* text;
    QRect rect;
  };
  const Hidden hidden[] = {{kIdEstimate, "Estimate", du.Rect(170, 160, 33, 14)},
                           {kIdDistortionPlus, "dp", du.Rect(211, 161, 30, 16)},
                           {kIdDistortionMinus, "dm", du.Rect(211, 179, 30, 16)}};
  for (const Hidden& entry : hidden) {
    auto* button = new QPushButton(entry.text, this);
    button->setGeometry(entry.rect);
    button->setAutoDefault(false);
    button->setProperty("controlId", entry.id);
    button->hide();
    controls_[entry.id] = button;
  }
  connect(static_cast<QPushButton*>(controls_[kIdEstimate]), &QPushButton::clicked, this,
          &CObjectEditDlg::OnEstimate);
}

CHoverButtonEx* CObjectEditDlg::AddImageButton(int id, const QString& text, QPoint position, QSize region,
                                               bool round, const char* graphic, const QString& tooltip) {
  ImageButtonSpec spec;
  spec.text = text;
  spec.id = id;
  spec.position = position;
  spec.regionSize = region;
  spec.regionShape = round ? CHoverButtonEx::kEllipse : CHoverButtonEx::kRectangle;
  spec.graphicsPath = graphic;
  spec.tooltip = tooltip;
  // Panel buttons sit on the flat panel colour; the round title buttons take
  // what lies under them.
  spec.solidBackground = !round;
  spec.solidColour = kPanelWindowColour;
  CHoverButtonEx* button = CreateImageButton(this, applicationFolder_, spec);
  button->setAutoDefault(false);
  buttons_[id] = button;
  controls_[id] = button;
  return button;
}

void CObjectEditDlg::CreateImageButtons() {
  const QSize round(kTitleButtonSize, kTitleButtonSize);
  const QSize square(kPanelButtonSize, kPanelButtonSize);
  const int w = width();
  AddImageButton(kIdClose, "Power", QPoint(w - 25, 2), round, true, "\\Graphics\\button_power.png", "Close");
  AddImageButton(kIdDock, "Dock", QPoint(w - 45, 2), round, true, "\\Graphics\\button_minimize.png", "Dock");

  const QPoint side = sidePanel_->geometry().topLeft();
  const auto slot = [side](int k) { return QPoint(side.x() + 2, side.y() + 5 + kPanelButtonPitch * k); };
  AddImageButton(kIdSelect, "Select", slot(0), square, false, "\\Graphics\\button_gridselect.png",
                 "Select border points");
  AddImageButton(kIdReset, "Reset", slot(1), square, false, "\\Graphics\\button_gridreset.png", "Reset points");
  AddImageButton(kIdGridProperties, "Grid", slot(2), square, false, "\\Graphics\\button_gridsettings.png",
                 "Calibration grid properties");
  AddImageButton(kIdMoreDistortion, "Not used", slot(3), square, false,
                 "\\Graphics\\button_objedit_adddistortion.png", "More distortion");
  AddImageButton(kIdLessDistortion, "Not used", slot(4), square, false,
                 "\\Graphics\\button_objedit_subdistortion.png", "Less distortion");
  AddImageButton(kIdDetect, "Detect", slot(5), square, false, "\\Graphics\\button_griddetect.png", "Detect grid");

  const QPoint bottom = bottomPanel_->geometry().topLeft();
  AddImageButton(kIdPrevious, "<<", bottom + QPoint(5, 2), square, false, "\\Graphics\\button_gridstepback.png",
                 "Previous image");
  AddImageButton(kIdNext, ">>", bottom + QPoint(44, 2), square, false, "\\Graphics\\button_gridstepforward.png",
                 "Next image");

  const auto wire = [this](int id, void (CObjectEditDlg::*command)()) {
    connect(buttons_[id], &QPushButton::clicked, this, command);
  };
  wire(kIdClose, &CObjectEditDlg::OnClose);
  wire(kIdSelect, &CObjectEditDlg::OnSelect);
  wire(kIdReset, &CObjectEditDlg::OnReset);
  wire(kIdGridProperties, &CObjectEditDlg::OnGridProperties);
  wire(kIdPrevious, &CObjectEditDlg::OnPrevious);
  wire(kIdNext, &CObjectEditDlg::OnNext);
  wire(kIdDetect, &CObjectEditDlg::OnDetect);
  // Dock, More distortion and Less distortion have no action.
}

CHoverButtonEx* CObjectEditDlg::Button(int id) const {
  const auto it = buttons_.find(id);
  return it == buttons_.end() ? nullptr : it->second;
}

QWidget* CObjectEditDlg::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

// --- What is shown -----------------------------------------------------------

void CObjectEditDlg::OpenOn(int camera) {
  SetCamera(camera);
  SetView(0);
  show();
  raise();
  activateWindow();
  OfferToClearStaleViews();
}

void CObjectEditDlg::SetCamera(int camera) {
  camera_ = camera;
  UpdateTitle();
  RepaintImageArea();
}

void CObjectEditDlg::SetView(int view) {
  view_ = view;
  UpdateTitle();
  RepaintImageArea();
}

void CObjectEditDlg::FollowSelection(int camera, int view) {
  if (!isVisible() || camera < 0) return;
  if (camera != camera_) {
    SetCamera(camera);
    SetView(view >= 0 ? view : 0);
  } else if (view >= 0 && view != view_) {
    SetView(view);
  }
}

QString CObjectEditDlg::TitleText() const {
  QString shown;
  if (data_ && camera_ >= 0 && camera_ < data_->GetCameraCount()) {
    const int views = data_->GetViewCount(camera_);
    shown = views > 0 && view_ >= 0 && view_ < views
                ? QString(": Camera %1, view %2 of %3").arg(camera_ + 1).arg(view_ + 1).arg(views)
                : QString(": Camera %1, no view").arg(camera_ + 1);
  }
  return QString(" Calibration Object Editor%1 \n Norvane").arg(shown);
}

void CObjectEditDlg::UpdateTitle() {
  if (title_) title_->SetText(TitleText());
}

bool CObjectEditDlg::ViewShown() const { return data_ && camera_ >= 0 && view_ >= 0; }

// A shown view that the store really holds (the indices may outlive a camera's views).
bool CObjectEditDlg::ValidViewShown() const {
  return ViewShown() && camera_ < data_->GetCameraCount() && view_ < data_->GetViewCount(camera_);
}

bool CObjectEditDlg::UpdateScales() {
  if (!ValidViewShown()) return false;
  const int imageWidth = data_->GetImageWidth(camera_);
  const int imageHeight = data_->GetImageHeight(camera_);
  if (imageWidth <= 0 || imageHeight <= 0 || imageArea_.width() <= 0 || imageArea_.height() <= 0) return false;
  scaleX_ = static_cast<double>(imageArea_.width()) / imageWidth;
  scaleY_ = static_cast<double>(imageArea_.height()) / imageHeight;
  inverseScaleX_ = 1.0 / scaleX_;
  inverseScaleY_ = 1.0 / scaleY_;
  return true;
}

void CObjectEditDlg::RepaintImageArea() {
  marks_.clear();
  if (imageAreaControl_) imageAreaControl_->update();
}

void CObjectEditDlg::PaintImageArea(QPainter& painter) {
  painter.fillRect(imageArea_, QColor::fromRgba(kImageAreaColour));
  if (ValidViewShown()) {
    const QImage bitmap = data_->GetViewBitmap(camera_, view_);
    if (!bitmap.isNull()) {
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      painter.drawImage(QRect(0, 0, imageArea_.width(), imageArea_.height()), bitmap);
    }
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(Qt::NoBrush);
  if (showPoints_ && UpdateScales()) {
    painter.setPen(MarkPen(kCornerColour));
    const int count = data_->GetPointCount(camera_, view_);
    for (int i = 0; i < count; ++i) {
      const ImagePoint p = data_->GetPoint(camera_, view_, i);
      painter.drawEllipse(QRectF(p.x * scaleX_ - 2, p.y * scaleY_ - 2, 5, 5));
    }
  }
  for (const Mark& mark : marks_) {
    if (mark.kind == Mark::kBorderPoint) {
      painter.setPen(MarkPen(kBorderPointColour));
      painter.drawEllipse(QRectF(mark.from.x() - 5, mark.from.y() - 5, 11, 11));
    } else {
      painter.setPen(MarkPen(kBorderLineColour));
      painter.drawLine(mark.from, mark.to);
    }
  }
}

// --- Commands ----------------------------------------------------------------

void CObjectEditDlg::OnClose() {
  hide();
  SetSelectionMode(false);
}

void CObjectEditDlg::reject() { OnClose(); }

void CObjectEditDlg::SetSelectionMode(bool on) {
  selectionMode_ = on;
  if (on) setCursor(SelectionCursor());
  else unsetCursor();
}

void CObjectEditDlg::OnSelect() {
  if (!data_ || camera_ < 0 || !data_->HasGrid(camera_)) return;
  SetSelectionMode(!selectionMode_);
}

void CObjectEditDlg::OnReset() {
  if (!ValidViewShown()) return;
  // No points, so no claim to have them: the flag goes with the list.
  data_->ClearViewPoints(camera_, view_);
  marks_.clear();
  update();
  imageAreaControl_->update();
}

void CObjectEditDlg::OnPrevious() {
  if (!ViewShown() || view_ <= 0) return;
  SetView(view_ - 1);
}

void CObjectEditDlg::OnNext() {
  if (!ViewShown() || view_ >= data_->GetViewCount(camera_) - 1) return;
  SetView(view_ + 1);
}

void CObjectEditDlg::OnGridProperties() {
  const bool haveCamera = data_ && camera_ >= 0 && camera_ < data_->GetCameraCount();
  CObjectProperties dialog(this);
  dialog.SetGrid(haveCamera ? data_->GetGrid(camera_) : GridDescription{});
  dialog.SetSettings(haveCamera ? data_->GetCalibrationSettings(camera_) : CalibrationSettings{});
  if (RunPropertiesDialog(dialog) != QDialog::Accepted || !haveCamera) return;
  data_->SetGrid(camera_, dialog.Grid());
  data_->SetCalibrationSettings(camera_, dialog.Settings());
  OfferToClearStaleViews();
}

void CObjectEditDlg::OfferToClearStaleViews() {
  if (!data_ || camera_ < 0 || camera_ >= data_->GetCameraCount()) return;
  const std::vector<int> stale = data_->StaleViews(camera_);
  if (stale.empty()) return;
  QStringList views;
  for (int view : stale) views << QString::number(view + 1);
  const GridDescription grid = data_->GetGrid(camera_);
  const bool canDetect = detector_ && detector_->CanDetect(camera_);
  const QString text =
      QString("%1 of this camera hold%2 grid points marked for another grid than its %3 x %4 grid (views %5).\n"
              "They take no part in calibration until they are marked again.\n\n%6")
          .arg(stale.size() == 1 ? QString("One view") : QString("%1 views").arg(stale.size()))
          .arg(stale.size() == 1 ? "s" : "")
          .arg(grid.nx)
          .arg(grid.ny)
          .arg(views.join(", "))
          .arg(canDetect ? "Detect the grid in them again (views where it is not found are cleared), clear their "
                           "points, or keep them as they are?"
                         : "Clear their points now?");
  const StaleChoice choice = canDetect ? AskStaleChoice(text) : (AskYesNo(text) ? StaleChoice::Clear : StaleChoice::Keep);
  if (choice == StaleChoice::Keep) return;
  for (int view : stale) {
    if (choice == StaleChoice::Clear)
      data_->ClearViewPoints(camera_, view);
    else
      detector_->DetectView(camera_, view);  // a miss clears the stale points (ApplyGridDetection)
  }
  marks_.clear();
  RepaintImageArea();
}

CObjectEditDlg::StaleChoice CObjectEditDlg::AskStaleChoice(const QString& text) {
  QMessageBox box(QMessageBox::Question, "Calibration Object Editor", text, QMessageBox::NoButton, this);
  QPushButton* detect = box.addButton("Detect again", QMessageBox::AcceptRole);
  QPushButton* clear = box.addButton("Clear", QMessageBox::DestructiveRole);
  box.addButton("Keep", QMessageBox::RejectRole);
  box.exec();
  if (box.clickedButton() == detect) return StaleChoice::Redetect;
  if (box.clickedButton() == clear) return StaleChoice::Clear;
  return StaleChoice::Keep;
}

int CObjectEditDlg::RunPropertiesDialog(CObjectProperties& dialog) { return dialog.exec(); }

void CObjectEditDlg::OnEstimate() {
  if (!ValidViewShown()) return;
  RunEstimation();
}

void CObjectEditDlg::SetDetector(CGridDetector* detector) {
  if (detector_) disconnect(detector_, nullptr, this, nullptr);
  detector_ = detector;
  if (detector_) connect(detector_, &CGridDetector::viewDetected, this, &CObjectEditDlg::ViewDetected);
}

void CObjectEditDlg::OnDetect() {
  if (!detector_ || !ValidViewShown()) return;
  if (!detector_->CanDetect(camera_)) {
    ShowMessage("Please set the calibration grid's properties before detecting it.");
    return;
  }
  if (detector_->DetectView(camera_, view_)) detectionAsked_ = std::make_pair(camera_, view_);
}

// Any detection of the shown view is drawn as if clicked; a miss is reported
// only for the view the user asked about.
void CObjectEditDlg::ViewDetected(int camera, int view, GridStatus status) {
  const bool asked = detectionAsked_ == std::make_pair(camera, view);
  if (asked) detectionAsked_.reset();
  if (camera != camera_ || view != view_) return;
  if (status == GridStatus::Ok) {
    RepaintImageArea();
    MarkBorder();
  } else if (asked) {
    ShowMessage(QString("The grid was not found: %1.").arg(DescribeGridStatus(status)));
  }
}

// The border points and lines four clicks in the stored order would have drawn.
void CObjectEditDlg::MarkBorder() {
  if (!UpdateScales()) return;
  const PointList& border = *data_->GetBorderPoints(camera_, view_);
  const auto display = [this](const ImagePoint& p) { return QPointF(p.x * scaleX_, p.y * scaleY_); };
  for (size_t k = 0; k < border.size(); ++k) {
    marks_.push_back({Mark::kBorderPoint, display(border[k]), {}});
    if (k >= 1) marks_.push_back({Mark::kBorderLine, display(border[k]), display(border[k - 1])});
  }
  if (border.size() == 4) marks_.push_back({Mark::kBorderLine, display(border[3]), display(border[0])});
  imageAreaControl_->update();
}

void CObjectEditDlg::RunEstimation() {
  // Each corner is on screen as soon as it is stored.
  const GridStatus status = EstimateGrid(*data_, camera_, view_, [this](int, const ImagePoint&) {
    imageAreaControl_->update();
  });
  imageAreaControl_->update();
  if (status == GridStatus::Ok) return;
  ShowMessage(QString("The grid could not be estimated: %1.\nUse \"Reset points\" to mark this view again.")
                  .arg(DescribeGridStatus(status)));
}

void CObjectEditDlg::ShowMessage(const QString& text) {
  QMessageBox::warning(this, "Calibration Object Editor", text);
}

bool CObjectEditDlg::AskYesNo(const QString& text) {
  return QMessageBox::question(this, "Calibration Object Editor", text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

// --- Mouse -------------------------------------------------------------------

void CObjectEditDlg::LeftButtonDown(QPoint point) {
  // The window can always be dragged by its title band, shown view or not.
  if (GDI::IsPointInRect(point.x(), point.y(), titleRect_)) {
    dragging_ = true;
    dragStart_ = point;
  }
  if (!ViewShown() || !UpdateScales()) return;
  if (selectionMode_ && GDI::IsPointInRect(point.x(), point.y(), imageAreaInWindow_)) ClickInImage(point);
}

void CObjectEditDlg::ClickInImage(QPoint point) {
  const float x = static_cast<float>((point.x() - imageAreaInWindow_.left()) * inverseScaleX_);
  const float y = static_cast<float>((point.y() - imageAreaInWindow_.top()) * inverseScaleY_);
  // A click is good to a couple of screen pixels, which is many image pixels
  // on a large photograph shown small.
  const double uncertainty = kClickUncertainty * std::max({inverseScaleX_, inverseScaleY_, 1.0});
  const BorderClick click = AddBorderPoint(*data_, camera_, view_, ImagePoint{x, y}, uncertainty);
  switch (click.status) {
    case GridStatus::Ok: break;
    case GridStatus::BorderComplete:     // a fifth click: nothing to do until Reset
    case GridStatus::PointOutsideImage:  // the very edge of the area
    case GridStatus::NoView:
      return;
    default:
      ShowMessage(QString("The point could not be refined: %1.").arg(DescribeGridStatus(click.status)));
      return;
  }
  const PointList& border = *data_->GetBorderPoints(camera_, view_);
  const auto display = [this](const ImagePoint& p) { return QPointF(p.x * scaleX_, p.y * scaleY_); };
  marks_.push_back({Mark::kBorderPoint, display(click.refined), {}});
  if (border.size() >= 2)
    marks_.push_back({Mark::kBorderLine, display(border[border.size() - 1]), display(border[border.size() - 2])});
  imageAreaControl_->update();
  if (border.size() == 4) {
    marks_.push_back({Mark::kBorderLine, display(border[3]), display(border[0])});
    RunEstimation();
  }
}

void CObjectEditDlg::LeftButtonUp() { dragging_ = false; }

void CObjectEditDlg::MouseMoveWithLeftButton(QPoint point) {
  if (!dragging_) return;
  move(pos() + (point - dragStart_));
}

void CObjectEditDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
  LeftButtonDown(event->position().toPoint());
}

void CObjectEditDlg::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) MouseMoveWithLeftButton(event->position().toPoint());
  QDialog::mouseMoveEvent(event);
}

void CObjectEditDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) LeftButtonUp();
  QDialog::mouseReleaseEvent(event);
}

void CObjectEditDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor::fromRgba(kWindowColour));
  painter.setPen(QColor(0x1E, 0x1E, 0x1E));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void CObjectEditDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  RepaintImageArea();
}
