#include "ui/ObjectProperties.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

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
  if (!(parsed >= low && parsed <= high)) {
    message = QString("Please enter a number between %1 and %2.").arg(low).arg(high);
    return false;
  }
  value = parsed;
  return true;
}

}  // namespace

CObjectProperties::CObjectProperties(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Dialog");
  setFont(PropertiesFont());
  const DialogUnits du(font());
  setFixedSize(du.X(214), du.Y(81));

  AddLabel("Number of Squares", 7, 7, 64);
  AddLabel("Square Size", 74, 7, 64);
  AddLabel("Window Size", 139, 7, 64);
  // Created in tab order: down each column, left to right.
  squaresX_ = AddField(kIdSquaresX, 7, 18);
  squaresY_ = AddField(kIdSquaresY, 7, 35);
  sizeX_ = AddField(kIdSizeX, 74, 17);
  sizeY_ = AddField(kIdSizeY, 74, 33);
  windowX_ = AddField(kIdWindowX, 139, 17);
  windowY_ = AddField(kIdWindowY, 139, 33);
  AddLabel("X", 50, 20, 20);
  AddLabel("Y", 50, 37, 20);
  AddLabel("dX", 117, 19, 20);
  AddLabel("dY", 117, 35, 20);
  AddLabel("Wx", 182, 19, 20);
  AddLabel("Wy", 182, 35, 20);

  auto* ok = new QPushButton("OK", this);
  ok->setGeometry(du.Rect(92, 60, 50, 14));
  ok->setDefault(true);
  ok->setProperty("controlId", 1);
  connect(ok, &QPushButton::clicked, this, &CObjectProperties::accept);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setGeometry(du.Rect(144, 60, 50, 14));
  cancel->setProperty("controlId", 2);
  connect(cancel, &QPushButton::clicked, this, &CObjectProperties::reject);

  SetGrid(GridDescription{});
}

QLineEdit* CObjectProperties::AddField(int id, int x, int y) {
  auto* field = new QLineEdit(this);
  field->setGeometry(DialogUnits(font()).Rect(x, y, 40, 14));
  field->setProperty("controlId", id);
  return field;
}

void CObjectProperties::AddLabel(const QString& text, int x, int y, int width) {
  auto* label = new QLabel(text, this);
  label->setGeometry(DialogUnits(font()).Rect(x, y, width, 10));
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
  squaresX_->setText(QString::number(grid.nx - 1));
  squaresY_->setText(QString::number(grid.ny - 1));
  sizeX_->setText(QString::number(grid.dX, 'g', 15));
  sizeY_->setText(QString::number(grid.dY, 'g', 15));
  windowX_->setText(QString::number(grid.wx));
  windowY_->setText(QString::number(grid.wy));
}

bool CObjectProperties::ValidateFields() {
  GridDescription edited = grid_;
  int squaresX = 0, squaresY = 0;
  QString message;
  QLineEdit* failed = nullptr;
  if (!ReadInt(squaresX_, kMinSquares, kMaxSquares, squaresX, message)) failed = squaresX_;
  else if (!ReadInt(squaresY_, kMinSquares, kMaxSquares, squaresY, message)) failed = squaresY_;
  else if (!ReadDouble(sizeX_, kMinSquareSize, kMaxSquareSize, edited.dX, message)) failed = sizeX_;
  else if (!ReadDouble(sizeY_, kMinSquareSize, kMaxSquareSize, edited.dY, message)) failed = sizeY_;
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
