#pragma once
// The grid properties dialog of the object editor and the data panel: number
// of squares along X and Y, square size and its unit, and the corner
// refinement window of one camera's grid. Squares are shown as points - 1 and
// stored back as squares + 1; a line under the fields says, as they are
// typed, how many inner corners that makes. Under the grid, how the camera is
// calibrated: its lens model and the values a run keeps fixed.

#include <QDialog>
#include <QString>
#include <array>

#include "records/Records.h"

class CCalibrationData;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

// The question asked after a camera's grid changed and some of its views hold
// points of another grid: which views, and whether to clear them. "" when no
// view is stale.
QString StaleViewsQuestion(const CCalibrationData& store, int camera);

class CObjectProperties : public QDialog {
  Q_OBJECT
 public:
  enum ControlId {
    kIdSquaresX = 1035,
    kIdSizeX = 1036,
    kIdSquaresY = 1037,
    kIdSizeY = 1038,
    kIdWindowX = 1039,
    kIdWindowY = 1040,
    kIdLensModel = 1041,
    kIdFixAspectRatio = 1042,
    kIdFixPrincipalPoint = 1043,
    kIdZeroTangential = 1044,
    kIdPosesOnly = 1045,
    kIdFixedCoefficient = 1050,  // + the coefficient's index in its model
  };

  // Accepted ranges of the fields; the square size's in millimetres, whatever unit it is entered in.
  static constexpr int kMinSquares = 2;
  static constexpr int kMaxSquares = 100;
  static constexpr double kMinSquareSize = 1.0;
  static constexpr double kMaxSquareSize = 10000.0;
  static constexpr int kMinWindow = 1;
  static constexpr int kMaxWindowX = 100;
  static constexpr int kMaxWindowY = 1000;

  explicit CObjectProperties(QWidget* parent = nullptr);

  // Fills the fields from a grid (squares = points - 1).
  void SetGrid(const GridDescription& grid);
  // The grid of the last accepted validation (points = squares + 1).
  GridDescription Grid() const { return grid_; }

  // Fills the lens model and fixed-value controls.
  void SetSettings(const CalibrationSettings& settings);
  // The lens model and fixed values the controls show.
  CalibrationSettings Settings() const;

  QLineEdit* Field(int id) const;
  QComboBox* UnitField() const { return unit_; }
  QComboBox* ModelField() const { return model_; }
  // A check box by its id: the options, and the fixed-coefficient boxes (kIdFixedCoefficient + i).
  QCheckBox* Box(int id) const;
  // "8 x 5 squares between the outer corners = 9 x 6 inner corners", following the fields.
  QString CornerText() const;

  // Reads and checks every field in tab order. On the first bad one its
  // message is shown, the field gets the focus and false is returned.
  bool ValidateFields();

  void accept() override;

 protected:
  // The validation message; a test replaces it to read the text.
  virtual void ShowValidationMessage(const QString& text);

 private:
  QLineEdit* AddField(int id, int x, int y);
  QLabel* AddLabel(const QString& text, int x, int y, int width, int height = 10);
  void UpdateCornerText();
  void AddLensControls();
  QCheckBox* AddBox(int id, const QString& text, int x, int y, int width);
  // Names the coefficient boxes after the chosen model's coefficients and
  // enables what applies to it.
  void UpdateLensControls();

  GridDescription grid_;
  QLineEdit* squaresX_ = nullptr;
  QLineEdit* squaresY_ = nullptr;
  QLineEdit* sizeX_ = nullptr;
  QLineEdit* sizeY_ = nullptr;
  QLineEdit* windowX_ = nullptr;
  QLineEdit* windowY_ = nullptr;
  QComboBox* unit_ = nullptr;
  QLabel* corners_ = nullptr;
  QComboBox* model_ = nullptr;
  QCheckBox* fixAspectRatio_ = nullptr;
  QCheckBox* fixPrincipalPoint_ = nullptr;
  QCheckBox* zeroTangential_ = nullptr;
  QCheckBox* posesOnly_ = nullptr;
  std::array<QCheckBox*, kMaxDistortionCoefficients> fixed_{};
};
