#include "view3d/Calib3DScene.h"

#include <QKeyEvent>
#include <algorithm>
#include <optional>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "widgets/DialogUnits.h"
#include "widgets/HoverButtonEx.h"
#include "widgets/StaticEx.h"
#include "view3d/Calib3DView.h"

using namespace D3D;

namespace {

// Layout of the window in dialog units.
constexpr int kTemplateWidth = 366, kTemplateHeight = 374;
const QRect kTitleUnits(0, 0, 366, 17);
const QRect kViewAreaUnits(37, 23, 323, 344);
const QRect kSidePanelUnits(6, 23, 25, 344);

const QColor kWindowColour(160, 160, 160);
constexpr uint32_t kTitleColour = 0xFF2F2F2F;
const QColor kSidePanelColour(75, 75, 75);
constexpr uint32_t kSidePanelWindowColour = 0x004B4B4B;
constexpr int kSideButtonPitch = 39;

QRect Units(const DialogUnits& units, const QRect& r) { return units.Rect(r.x(), r.y(), r.width(), r.height()); }

// Shown in the view area when no OpenGL context can be had.
class NoOpenGLPane : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(Qt::black);
    painter.drawText(rect().adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, NoOpenGLMessage());
  }
};

// A plain coloured panel behind the side buttons.
class SolidPane : public QWidget {
 public:
  SolidPane(QWidget* parent, const QColor& colour) : QWidget(parent), colour_(colour) {}

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), colour_); }

 private:
  QColor colour_;
};

struct SideButton {
  int id;
  const char* text;
  const char* graphic;
  const char* tooltip;
};

constexpr SideButton kSideButtons[] = {
    {CCalib3DScene::kMoveWorldId, "Rotate", "\\Graphics\\button_3d_move.png", "Move world"},
    {CCalib3DScene::kViewModeId, "View", "\\Graphics\\button_3d_view.png", "Object/camera centred view"},
    {CCalib3DScene::kPreviousCameraId, "<<", "\\Graphics\\button_gridstepback.png", "Previous camera"},
    {CCalib3DScene::kNextCameraId, ">>", "\\Graphics\\button_gridstepforward.png", "Next camera"},
};

}  // namespace

CCalib3DScene::CCalib3DScene(CCalibrationData* store, const std::string& applicationFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), store_(store), applicationFolder_(applicationFolder) {
  setWindowTitle(QStringLiteral("Results Visualization 3D"));
  const DialogUnits units;
  templateRect_ = units.Rect(0, 0, kTemplateWidth, kTemplateHeight);
  titleBand_ = Units(units, kTitleUnits);
  viewArea_ = Units(units, kViewAreaUnits);
  sidePanel_ = Units(units, kSidePanelUnits);
  resize(templateRect_.size());
  setFocusPolicy(Qt::StrongFocus);

  CreateTitleBand();
  CreateViewArea();
  CreateSidePanel();
  CreateTitleButtons();
}

CCalib3DScene::~CCalib3DScene() { content_.Release(); }

void CCalib3DScene::CreateTitleBand() {
  title_ = new CStaticEx(this, kTitleId);
  title_->setGeometry(titleBand_);
  title_->SetColours(kTitleColour, 0xFFFFFFFF);
  title_->SetText(QStringLiteral(" Results Visualization 3D \n Lentora"));
  title_->Init();
  title_->installEventFilter(this);
}

void CCalib3DScene::CreateViewArea() {
  if (OpenGLAvailable()) {
    view_ = new CCalib3DView(&content_, this);
    viewPane_ = view_;
  } else {
    viewPane_ = new NoOpenGLPane(this);
  }
  viewPane_->setGeometry(viewArea_);
}

void CCalib3DScene::CreateSidePanel() {
  sidePanelWidget_ = new SolidPane(this, kSidePanelColour);
  sidePanelWidget_->setGeometry(sidePanel_);
  for (int k = 0; k < 4; ++k) {
    const SideButton& b = kSideButtons[k];
    ImageButtonSpec spec;
    spec.text = QString::fromLatin1(b.text);
    spec.id = b.id;
    spec.position = QPoint(sidePanel_.left() + 2, sidePanel_.top() + 5 + kSideButtonPitch * k);
    spec.regionSize = QSize(36, 36);
    spec.regionShape = CHoverButtonEx::kRectangle;
    spec.graphicsPath = b.graphic;
    spec.tooltip = QString::fromLatin1(b.tooltip);
    spec.solidBackground = true;
    spec.solidColour = kSidePanelWindowColour;
    buttons_[2 + k] = CreateImageButton(this, applicationFolder_, spec);
    buttons_[2 + k]->setFocusPolicy(Qt::NoFocus);
  }
  connect(buttons_[2], &QPushButton::clicked, this, &CCalib3DScene::MoveWorld);
  connect(buttons_[3], &QPushButton::clicked, this, &CCalib3DScene::ToggleViewMode);
  connect(buttons_[4], &QPushButton::clicked, this, &CCalib3DScene::PreviousCamera);
  connect(buttons_[5], &QPushButton::clicked, this, &CCalib3DScene::NextCamera);
}

void CCalib3DScene::CreateTitleButtons() {
  const int w = width();
  const struct {
    int id;
    const char* text;
    int x;
    const char* graphic;
    const char* tooltip;
  } titleButtons[] = {{kExitId, "Power", w - 25, "\\Graphics\\button_power.png", "Exit"},
                      {kMinimizeId, "Mini", w - 45, "\\Graphics\\button_minimize.png", "Minimize"}};
  for (int k = 0; k < 2; ++k) {
    ImageButtonSpec spec;
    spec.text = QString::fromLatin1(titleButtons[k].text);
    spec.id = titleButtons[k].id;
    spec.position = QPoint(titleButtons[k].x, 2);
    spec.regionSize = QSize(24, 24);
    spec.graphicsPath = titleButtons[k].graphic;
    spec.tooltip = QString::fromLatin1(titleButtons[k].tooltip);
    buttons_[k] = CreateImageButton(this, applicationFolder_, spec);
    buttons_[k]->setFocusPolicy(Qt::NoFocus);
    connect(buttons_[k], &QPushButton::clicked, this, &QWidget::hide);
  }
}

QWidget* CCalib3DScene::TitleWidget() const { return title_; }

CHoverButtonEx* CCalib3DScene::Button(int id) const {
  for (CHoverButtonEx* button : buttons_)
    if (button != nullptr && button->Id() == id) return button;
  return nullptr;
}

bool CCalib3DScene::HasOpenGL() const { return view_ != nullptr && view_->Ready(); }

// ---- Filling ----

void CCalib3DScene::AddThumbnails(int camera, const std::vector<int>& views) {
  for (int v : views) {
    // A reduced decode is plenty for a texture, and leaves the picture cache alone.
    const ViewPixels image = store_->GetViewThumbnail(camera, v, cv::Size(D3D::kThumbnailSize, D3D::kThumbnailSize));
    content_.AddThumbnail(MakeThumbnail(image != nullptr ? *image : cv::Mat()));
  }
}

bool CCalib3DScene::SetCalibrationResults(int camera) {
  content_.Clear();
  if (view_ != nullptr) view_->ResetWorld();
  bool filled = false;
  if (store_ != nullptr && camera >= 0 && camera < store_->GetCameraCount()) {
    const CalibrationProblem& problem = store_->GetCalibrationProblem(camera);
    const CameraParameters parameters = problem.GetParameters();
    // Views left out of the run have no pose to draw.
    std::vector<int> drawn;
    for (int v : problem.usedViews) {
      if (v < 0 || v >= problem.viewCount || v >= store_->GetViewCount(camera)) continue;
      const double* R = problem.GetRotationMatrix(v);
      const double* t = problem.GetTranslation(v);
      if (!content_.AddGridMesh(problem.grid, R, t)) continue;
      content_.AddCameraPyramid(parameters, R, t);
      drawn.push_back(v);
    }
    AddThumbnails(camera, drawn);
    filled = !drawn.empty();
  }
  content_.FrameScene();
  Render();
  return filled;
}

void CCalib3DScene::ShowCalibration(int camera) {
  SetCalibrationResults(camera);
  shownCamera_ = camera;
  ShowResults();
}

void CCalib3DScene::CameraNumbersChanged(int position, int delta) {
  if (shownCamera_ < 0) return;
  if (delta < 0 && position == shownCamera_) Withdraw();
  else if (delta < 0 && position < shownCamera_) --shownCamera_;
  else if (delta > 0 && position <= shownCamera_) ++shownCamera_;
}

void CCalib3DScene::RunChanged(int camera) {
  if (camera != shownCamera_) return;
  if (!SetCalibrationResults(camera)) Withdraw();
}

void CCalib3DScene::Withdraw() {
  shownCamera_ = -1;
  content_.Clear();
  content_.FrameScene();
  hide();
}

namespace {

constexpr int kGap = 8;

// One axis of the placement: the main window's span [mainStart, mainStart +
// mainSize) and the window's size within [low, high). The window's start and
// the main window's (possibly moved) start, or nothing when both do not fit.
std::optional<std::pair<int, int>> PlaceAlong(int mainStart, int mainSize, int size, int low, int high) {
  if (high - (mainStart + mainSize + kGap) >= size) return std::pair{mainStart + mainSize + kGap, mainStart};
  if (mainStart - kGap - low >= size) return std::pair{mainStart - kGap - size, mainStart};
  if (mainSize + kGap + size > high - low) return std::nullopt;
  // Move the main window towards the nearer edge just enough.
  const bool roomRightIsLarger = high - (mainStart + mainSize) >= mainStart - low;
  if (roomRightIsLarger) {
    const int movedMain = high - size - kGap - mainSize;
    return std::pair{high - size, std::min(mainStart, movedMain)};
  }
  const int movedMain = low + size + kGap;
  return std::pair{low, std::max(mainStart, movedMain)};
}

}  // namespace

SideBySide PlaceBeside(const QRect& main, const QSize& size, const QRect& available) {
  const int right = available.right() + 1, bottom = available.bottom() + 1;
  auto clampTo = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
  if (const auto x = PlaceAlong(main.left(), main.width(), size.width(), available.left(), right)) {
    const int top = clampTo(main.top(), available.top(), bottom - size.height());
    return {QPoint(x->second, main.top()), QPoint(x->first, top)};
  }
  if (const auto y = PlaceAlong(main.top(), main.height(), size.height(), available.top(), bottom)) {
    const int left = clampTo(main.left(), available.left(), right - size.width());
    return {QPoint(main.left(), y->second), QPoint(left, y->first)};
  }
  // A screen too small for both: the window keeps to the side with more room.
  const int roomRight = right - main.right() - 1, roomLeft = main.left() - available.left();
  const int x = roomRight >= roomLeft ? right - size.width() : available.left();
  return {main.topLeft(), QPoint(std::max(available.left(), x), clampTo(main.top(), available.top(), bottom - size.height()))};
}

CResultsWindow* CreateCalib3DScene(CCalibrationData* store, const std::string& applicationFolder, QWidget* parent) {
  auto* scene = new CCalib3DScene(store, applicationFolder, parent);
  scene->hide();
  return scene;
}

void CCalib3DScene::ShowResults() {
  resize(templateRect_.width() + 2, templateRect_.height() + 2);
  QPoint place(50, 50);
  if (QWidget* main = parentWidget() ? parentWidget()->window() : nullptr) {
    if (const QScreen* screen = main->screen()) {
      // Beside the main window, never over its panels: it moves aside when it must.
      const SideBySide plan = PlaceBeside(main->frameGeometry(), frameSize(), screen->availableGeometry());
      if (plan.main != main->frameGeometry().topLeft()) main->move(plan.main);
      place = plan.window;
    }
  }
  move(place);
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  show();
  Render();
}

// ---- Commands ----

void CCalib3DScene::MoveWorld() {
  content_.ComputeBoxes();
  Render();
}

void CCalib3DScene::ToggleViewMode() {
  content_.ToggleViewMode();
  Render();
}

void CCalib3DScene::PreviousCamera() {
  content_.PreviousCamera();
  Render();
}

void CCalib3DScene::NextCamera() {
  content_.NextCamera();
  Render();
}

void CCalib3DScene::ToggleAntiAliasing() {
  content_.ToggleAntiAliasing();
  Render();
}

void CCalib3DScene::Render() {
  if (viewPane_ != nullptr) viewPane_->update();
}

QImage CCalib3DScene::GrabPicture() { return view_ != nullptr ? view_->grabFramebuffer() : QImage(); }

QImage CCalib3DScene::GrabWindow() {
  QImage picture = grab().toImage();
  // A plain widget grab leaves out what the view paints over its GL picture
  // (the box labels); the view's own framebuffer has everything.
  const QImage view = GrabPicture();
  if (!view.isNull()) {
    QPainter painter(&picture);
    painter.drawImage(QRect(viewArea_.topLeft(), viewArea_.size()), view);
  }
  return picture;
}

// ---- Events ----

void CCalib3DScene::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), kWindowColour); }

void CCalib3DScene::keyPressEvent(QKeyEvent* event) {
  // "Alias" is the window's hidden default button: Return presses it.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    ToggleAntiAliasing();
    return;
  }
  QWidget::keyPressEvent(event);
}

bool CCalib3DScene::eventFilter(QObject* watched, QEvent* event) {
  if (watched == title_ && HandleTitleMouse(event)) return true;
  return QWidget::eventFilter(watched, event);
}

// The window has no system caption: it is moved by dragging its title band.
bool CCalib3DScene::HandleTitleMouse(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) return false;
      dragging_ = true;
      dragOffset_ = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
      return true;
    }
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (!dragging_ || !(mouse->buttons() & Qt::LeftButton)) return false;
      move(mouse->globalPosition().toPoint() - dragOffset_);
      return true;
    }
    case QEvent::MouseButtonRelease:
      dragging_ = false;
      return false;
    default:
      return false;
  }
}
