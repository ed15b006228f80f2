#include "app/status_label.h"

#include <QPainter>
#include <QStyle>
#include <algorithm>

namespace tonvelo {

namespace {
constexpr int kLines = 2;
}

CStatusLabel::CStatusLabel(QWidget* parent) : QLabel(parent) {
  QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Minimum);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  setTextFormat(Qt::PlainText);
}

QSize CStatusLabel::minimumSizeHint() const {
  return {fontMetrics().averageCharWidth() * 20, fontMetrics().lineSpacing() * kLines};
}

QSize CStatusLabel::sizeHint() const { return minimumSizeHint(); }

int CStatusLabel::heightForWidth(int width) const {
  const QStringList lines = text().split(QLatin1Char('\n'));
  int height = fontMetrics().lineSpacing() * static_cast<int>(lines.size());
  if (lines.size() == 1) {
    height =
        fontMetrics().boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, text()).height();
  }
  return std::max(height, fontMetrics().lineSpacing() * kLines);
}

void CStatusLabel::paintEvent(QPaintEvent*) {
  // The idle hint is a sentence and wraps; a status line is elided instead.
  QPainter painter(this);
  const QRect area = contentsRect();
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  const QStringList lines = text().split(QLatin1Char('\n'));
  if (lines.size() == 1) {
    painter.drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, lines.front());
    return;
  }
  const QFontMetrics metrics = fontMetrics();
  int y = area.top();
  for (const QString& line : lines) {
    painter.drawText(QRect(area.left(), y, area.width(), metrics.lineSpacing()),
                     Qt::AlignLeft | Qt::AlignTop,
                     metrics.elidedText(line, Qt::ElideMiddle, area.width()));
    y += metrics.lineSpacing();
  }
}

}  // namespace tonvelo
