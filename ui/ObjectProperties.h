#pragma once
// The grid properties dialog of the object editor: number of squares along X
// and Y, square size and the corner refinement window of one camera's grid.
// Squares are shown as points - 1 and stored back as squares + 1.

#include <QDialog>
#include <QString>

#include "records/Records.h"

class QLineEdit;

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
  };

  // Accepted ranges of the fields.
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

  QLineEdit* Field(int id) const;

  // Reads and checks every field in tab order. On the first bad one its
  // message is shown, the field gets the focus and false is returned.
  bool ValidateFields();

  void accept() override;

 protected:
  // The validation message; a test replaces it to read the text.
  virtual void ShowValidationMessage(const QString& text);

 private:
  QLineEdit* AddField(int id, int x, int y);
  void AddLabel(const QString& text, int x, int y, int width);

  GridDescription grid_;
  QLineEdit* squaresX_ = nullptr;
  QLineEdit* squaresY_ = nullptr;
  QLineEdit* sizeX_ = nullptr;
  QLineEdit* sizeY_ = nullptr;
  QLineEdit* windowX_ = nullptr;
  QLineEdit* windowY_ = nullptr;
};
