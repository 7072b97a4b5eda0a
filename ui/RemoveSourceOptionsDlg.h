#pragma once
// The question asked before a source goes: remove its cameras and data too?

#include <QDialog>

class QPushButton;

class CRemoveSourceOptionsDlg : public QDialog {
  Q_OBJECT
 public:
  enum ControlId { kIdYes = 1033, kIdNo = 3, kIdCancel = 1034 };
  enum AnswerValue { kAnswerYes = 0, kAnswerNo = 1, kAnswerCancel = 2 };

  explicit CRemoveSourceOptionsDlg(QWidget* parent = nullptr);
  int Answer() const { return answer_; }
  QPushButton* Button(int id) const;

  void OnYes();
  void OnNo();
  void OnCancel();

 protected:
  void reject() override;  // Escape and the close box count as Cancel

 private:
  int answer_ = kAnswerCancel;
  QPushButton* yes_ = nullptr;
  QPushButton* no_ = nullptr;
  QPushButton* cancel_ = nullptr;
};
