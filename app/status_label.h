#pragma once
// CStatusLabel: the batch status, two lines ("Converting file 1 of 3" and the
// source path). A long path is shortened in its middle to fit, rather than
// widening the window or being cut off at the end; text() stays complete.

#include <QLabel>

namespace tonvelo {

class CStatusLabel : public QLabel {
 public:
  explicit CStatusLabel(QWidget* parent = nullptr);
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;
  // The idle hint may need more than two lines in a narrow window.
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tonvelo
