#pragma once
// CAboutDlg: the program icon, its version and an OK button.

#include <QDialog>

namespace tonvelo {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tonvelo
