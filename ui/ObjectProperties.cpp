#include "ui/ObjectProperties.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include "core/CalibrationData.h"

#include "widgets/DialogUnits.h"

namespace {

QFont PropertiesFont() {
  QFont font("MS Shell Dlg");
  font.setPixelSize(11);  // 8 points at 96 dpi
  return font;
}

// Integer field check in the manner of standard dialog data validation.
bool ReadInt(const QLineEdit* field, int low, int high, int& value, QString& message) {
  bool ok = false;
  const int parsed = field->text().trimmed().toInt(&ok);
  if (!ok) {
    message = "Please enter an integer.";
    return false;
  }
  if (parsed < low || parsed > high) {
    message = QString("Please enter an integer between %1 and %2.").arg(low).arg(high);
    return false;
  }
  value = parsed;
  return true;
}

bool ReadDouble(const QLineEdit* field, double low, double high, double& value, QString& message) {
  bool ok = false;
  const double parsed = field->text().trimmed().toDouble(&ok);
  if (!ok) {
    message = "Please enter a number.";
    return false;
  }
  // Limits converted between units are off by a rounding error; a value typed at the limit is within it.
  constexpr double kSlack = 1e-9;
  if (!(parsed >= low * (1.0 - kSlack) && parsed <= high * (1.0 + kSlack))) {
    message = QString("Please enter a number between %1 and %2.").arg(low).arg(high);
    return false;
  }
  value = parsed;
  return true;
}

}  // namespace

QString StaleViewsQuestion(const CCalibrationData& store, int camera) {
  const std::vector<int> stale = store.StaleViews(camera);
  if (stale.empty()) return {};
  QStringList views;
  for (int view : stale) views << QString::number(view + 1);
  const GridDescription grid = store.GetGrid(camera);
  return QString("%1 of this camera hold%2 grid points marked for another grid than its %3 x %4 grid (views %5).\n"
                 "They take no part in calibration until they are marked again.\n\nClear their points now?")
      .arg(stale.size() == 1 ? QString("One view") : QString("%1 views").arg(stale.size()))
      .arg(stale.size() == 1 ? "s" : "")
      .arg(grid.nx)
      .arg(grid.ny)
      .arg(views.join(", "));
}

CObjectProperties::CObjectProperties(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Calibration Grid Properties");
  setFont(PropertiesFont());
  const DialogUnits du(font());
  setFixedSize(du.X(214), du.Y(181));

  AddLabel("Number of Squares", 7, 7, 64);
  AddLabel("Square Size", 74, 7, 64);
  AddLabel("Window Size", 139, 7, 64);
  // Created in tab order: down each column, left to right.
  squaresX_ = AddField(kIdSquaresX, 7, 18);
  squaresY_ = AddField(kIdSquaresY, 7, 35);
  sizeX_ = AddField(kIdSizeX, 74, 17);
  sizeY_ = AddField(kIdSizeY, 74, 33);
  unit_ = new QComboBox(this);
  unit_->setGeometry(du.Rect(74, 49, 40, 14));
  for (LengthUnit unit : {LengthUnit::Millimetre, LengthUnit::Centimetre, LengthUnit::Metre, LengthUnit::Inch})
    unit_->addItem(LengthUnitName(unit), static_cast<int>(unit));
  windowX_ = AddField(kIdWindowX, 139, 17);
  windowY_ = AddField(kIdWindowY, 139, 33);
  AddLabel("X", 50, 20, 20);
  AddLabel("Y", 50, 37, 20);
  AddLabel("dX", 117, 19, 20);
  AddLabel("dY", 117, 35, 20);
  AddLabel("unit", 117, 51, 20);
  AddLabel("Wx", 182, 19, 20);
  AddLabel("Wy", 182, 35, 20);
  corners_ = AddLabel("", 7, 68, 200, 20);
  corners_->setWordWrap(true);
  for (QLineEdit* squares : {squaresX_, squaresY_})
    connect(squares, &QLineEdit::textChanged, this, &CObjectProperties::UpdateCornerText);

  AddLensControls();

  auto* ok = new QPushButton("OK", this);
  ok->setGeometry(du.Rect(92, 160, 50, 14));
  ok->setDefault(true);
  ok->setProperty("controlId", 1);
  connect(ok, &QPushButton::clicked, this, &CObjectProperties::accept);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setGeometry(du.Rect(144, 160, 50, 14));
  cancel->setProperty("controlId", 2);
  connect(cancel, &QPushButton::clicked, this, &CObjectProperties::reject);

  SetGrid(GridDescription{});
  SetSettings(CalibrationSettings{});
}

void CObjectProperties::AddLensControls() {
  const DialogUnits du(font());
  AddLabel("Lens model", 7, 92, 60);
  model_ = new QComboBox(this);
  model_->setGeometry(du.Rect(74, 90, 100, 14));
  model_->setProperty("controlId", static_cast<int>(kIdLensModel));
  for (const LensModelInfo& info : AllLensModels()) model_->addItem(info.name, static_cast<int>(info.model));
  fixAspectRatio_ = AddBox(kIdFixAspectRatio, "Fix the aspect ratio", 7, 108, 100);
  fixPrincipalPoint_ = AddBox(kIdFixPrincipalPoint, "Principal point at the centre", 107, 108, 107);
  zeroTangential_ = AddBox(kIdZeroTangential, "No tangential distortion", 7, 120, 100);
  posesOnly_ = AddBox(kIdPosesOnly, "Refine poses only", 107, 120, 100);
  AddLabel("Keep fixed", 7, 138, 40);
  for (int i = 0; i < kMaxDistortionCoefficients; ++i)
    fixed_[static_cast<size_t>(i)] = AddBox(kIdFixedCoefficient + i, "", 50 + 20 * i, 136, 20);
  connect(model_, &QComboBox::currentIndexChanged, this, &CObjectProperties::UpdateLensControls);
  connect(zeroTangential_, &QCheckBox::toggled, this, &CObjectProperties::UpdateLensControls);
  connect(posesOnly_, &QCheckBox::toggled, this, &CObjectProperties::UpdateLensControls);
}

QCheckBox* CObjectProperties::AddBox(int id, const QString& text, int x, int y, int width) {
  auto* box = new QCheckBox(text, this);
  box->setGeometry(DialogUnits(font()).Rect(x, y, width, 10));
  box->setProperty("controlId", id);
  return box;
}

void CObjectProperties::UpdateLensControls() {
  const LensModel model = static_cast<LensModel>(model_->currentData().toInt());
  const LensModelInfo& info = InfoOf(model);
  // Poses only keeps every intrinsic value: the other choices would not matter.
  const bool intrinsicsRefined = !posesOnly_->isChecked();
  for (QCheckBox* box : {fixAspectRatio_, fixPrincipalPoint_}) box->setEnabled(intrinsicsRefined);
  zeroTangential_->setEnabled(intrinsicsRefined && HasTangential(model));
  if (!HasTangential(model)) zeroTangential_->setChecked(false);
  const bool tangentialZero = zeroTangential_->isChecked();
  for (int i = 0; i < kMaxDistortionCoefficients; ++i) {
    QCheckBox* box = fixed_[static_cast<size_t>(i)];
    const bool exists = i < info.coefficients;
    box->setVisible(exists);
    if (!exists) box->setChecked(false);
    box->setText(exists ? info.coefficientNames[static_cast<size_t>(i)] : "");
    const bool isTangential = HasTangential(model) && (i == 2 || i == 3);
    box->setEnabled(exists && intrinsicsRefined && !(isTangential && tangentialZero));
  }
}

void CObjectProperties::SetSettings(const CalibrationSettings& settings) {
  model_->setCurrentIndex(model_->findData(static_cast<int>(settings.model)));
  fixAspectRatio_->setChecked(settings.fixAspectRatio);
  fixPrincipalPoint_->setChecked(settings.fixPrincipalPoint);
  zeroTangential_->setChecked(settings.zeroTangential);
  posesOnly_->setChecked(settings.posesOnly);
  for (int i = 0; i < kMaxDistortionCoefficients; ++i)
    fixed_[static_cast<size_t>(i)]->setChecked((settings.fixedCoefficients >> i) & 1u);
  UpdateLensControls();
}

CalibrationSettings CObjectProperties::Settings() const {
  CalibrationSettings settings;
  settings.model = static_cast<LensModel>(model_->currentData().toInt());
  settings.fixAspectRatio = fixAspectRatio_->isChecked();
  settings.fixPrincipalPoint = fixPrincipalPoint_->isChecked();
  settings.zeroTangential = zeroTangential_->isChecked() && HasTangential(settings.model);
  settings.posesOnly = posesOnly_->isChecked();
  for (int i = 0; i < DistortionCount(settings.model); ++i)
    if (fixed_[static_cast<size_t>(i)]->isChecked()) settings.fixedCoefficients |= 1u << i;
  return settings;
}

QCheckBox* CObjectProperties::Box(int id) const {
  switch (id) {
    case kIdFixAspectRatio: return fixAspectRatio_;
    case kIdFixPrincipalPoint: return fixPrincipalPoint_;
    case kIdZeroTangential: return zeroTangential_;
    case kIdPosesOnly: return posesOnly_;
    default:
      if (id >= kIdFixedCoefficient && id < kIdFixedCoefficient + kMaxDistortionCoefficients)
        return fixed_[static_cast<size_t>(id - kIdFixedCoefficient)];
      return nullptr;
  }
}

QLineEdit* CObjectProperties::AddField(int id, int x, int y) {
  auto* field = new QLineEdit(this);
  field->setGeometry(DialogUnits(font()).Rect(x, y, 40, 14));
  field->setProperty("controlId", id);
  return field;
}

QLabel* CObjectProperties::AddLabel(const QString& text, int x, int y, int width, int height) {
  auto* label = new QLabel(text, this);
  label->setGeometry(DialogUnits(font()).Rect(x, y, width, height));
  return label;
}

QString CObjectProperties::CornerText() const { return corners_->text(); }

void CObjectProperties::UpdateCornerText() {
  bool okX = false, okY = false;
  const int x = squaresX_->text().trimmed().toInt(&okX);
  const int y = squaresY_->text().trimmed().toInt(&okY);
  if (!okX || !okY || x < kMinSquares || y < kMinSquares || x > kMaxSquares || y > kMaxSquares) {
    corners_->setText("Enter the squares between the outer corners: one fewer than the inner corners along each side.");
    return;
  }
  corners_->setText(QString("%1 x %2 squares between the outer corners = %3 x %4 inner corners")
                        .arg(x)
                        .arg(y)
                        .arg(x + 1)
                        .arg(y + 1));
}

QLineEdit* CObjectProperties::Field(int id) const {
  switch (id) {
    case kIdSquaresX: return squaresX_;
    case kIdSquaresY: return squaresY_;
    case kIdSizeX: return sizeX_;
    case kIdSizeY: return sizeY_;
    case kIdWindowX: return windowX_;
    case kIdWindowY: return windowY_;
    default: return nullptr;
  }
}

void CObjectProperties::SetGrid(const GridDescription& grid) {
  grid_ = grid;
  // A camera without a grid shows empty fields rather than -1 squares.
  const bool hasGrid = grid.nx > 1 && grid.ny > 1;
  squaresX_->setText(hasGrid ? QString::number(grid.nx - 1) : QString());
  squaresY_->setText(hasGrid ? QString::number(grid.ny - 1) : QString());
  sizeX_->setText(grid.dX > 0.0 ? QString::number(grid.dX, 'g', 15) : QString());
  sizeY_->setText(grid.dY > 0.0 ? QString::number(grid.dY, 'g', 15) : QString());
  unit_->setCurrentIndex(unit_->findData(static_cast<int>(grid.unit)));
  windowX_->setText(QString::number(grid.wx));
  windowY_->setText(QString::number(grid.wy));
  UpdateCornerText();
}

bool CObjectProperties::ValidateFields() {
  GridDescription edited = grid_;
  edited.unit = static_cast<LengthUnit>(unit_->currentData().toInt());
  // The size limits, 1 mm to 10 m, in the unit the size is entered in.
  const double millimetres = 0.001 / MetresPerUnit(edited.unit);
  const double minSize = kMinSquareSize * millimetres, maxSize = kMaxSquareSize * millimetres;
  int squaresX = 0, squaresY = 0;
  QString message;
  QLineEdit* failed = nullptr;
  if (!ReadInt(squaresX_, kMinSquares, kMaxSquares, squaresX, message)) failed = squaresX_;
  else if (!ReadInt(squaresY_, kMinSquares, kMaxSquares, squaresY, message)) failed = squaresY_;
  else if (!ReadDouble(sizeX_, minSize, maxSize, edited.dX, message)) failed = sizeX_;
  else if (!ReadDouble(sizeY_, minSize, maxSize, edited.dY, message)) failed = sizeY_;
  else if (!ReadInt(windowX_, kMinWindow, kMaxWindowX, edited.wx, message)) failed = windowX_;
  else if (!ReadInt(windowY_, kMinWindow, kMaxWindowY, edited.wy, message)) failed = windowY_;
  if (failed) {
    ShowValidationMessage(message);
    failed->setFocus();
    failed->selectAll();
    return false;
  }
  edited.nx = squaresX + 1;
  edited.ny = squaresY + 1;
  grid_ = edited;
  return true;
}

void CObjectProperties::accept() {
  if (ValidateFields()) QDialog::accept();
}

void CObjectProperties::ShowValidationMessage(const QString& text) {
  QMessageBox::warning(this, windowTitle(), text);
}
