#include "ui/RemoveSourceOptionsDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CRemoveSourceOptionsDlg::CRemoveSourceOptionsDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Remove Source");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Would you like to remove all cameras and data associated with this source?", this));
  auto* row = new QHBoxLayout();
  yes_ = new QPushButton("Yes", this);
  no_ = new QPushButton("No", this);
  cancel_ = new QPushButton("Cancel", this);
  for (QPushButton* button : {yes_, no_, cancel_}) {
    button->setAutoDefault(false);
    row->addWidget(button);
  }
  layout->addLayout(row);
  connect(yes_, &QPushButton::clicked, this, &CRemoveSourceOptionsDlg::OnYes);
  connect(no_, &QPushButton::clicked, this, &CRemoveSourceOptionsDlg::OnNo);
  connect(cancel_, &QPushButton::clicked, this, &CRemoveSourceOptionsDlg::OnCancel);
}

QPushButton* CRemoveSourceOptionsDlg::Button(int id) const {
  switch (id) {
    case kIdYes: return yes_;
    case kIdNo: return no_;
    case kIdCancel: return cancel_;
    default: return nullptr;
  }
}

void CRemoveSourceOptionsDlg::OnYes() {
  answer_ = kAnswerYes;
  accept();
}

void CRemoveSourceOptionsDlg::OnNo() {
  answer_ = kAnswerNo;
  accept();
}

void CRemoveSourceOptionsDlg::OnCancel() { reject(); }

void CRemoveSourceOptionsDlg::reject() {
  answer_ = kAnswerCancel;
  QDialog::reject();
}
