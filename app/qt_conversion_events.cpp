#include "app/qt_conversion_events.h"

#include <QThread>

#include "app/user_prompts.h"

namespace tonvelo {

namespace {

QMessageBox::Icon ToBoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kInformation:
      return QMessageBox::Information;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

CQtConversionEvents::CQtConversionEvents(CUserPrompts& prompts, QWidget* boxParent)
    : QObject(boxParent), prompts_(prompts), boxParent_(boxParent) {
  setObjectName(QStringLiteral("conversionEvents"));
}

void CQtConversionEvents::OnStatus(const std::string& text) {
  emit statusChanged(QString::fromStdString(text));
}

void CQtConversionEvents::OnProgress(unsigned percent) {
  emit progressChanged(static_cast<int>(percent));
}

void CQtConversionEvents::OnFinished(int result) { emit finished(result); }

void CQtConversionEvents::ShowMessage(MessageIcon icon, const std::string& text) {
  const QString message = QString::fromStdString(text);
  auto show = [this, icon, &message] {
    if (!silent_) prompts_.ShowMessage(boxParent_, ToBoxIcon(icon), message);
  };
  // A blocking queued call from the GUI thread itself would never return.
  if (QThread::currentThread() == thread()) {
    show();
  } else {
    QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
  }
}

}  // namespace tonvelo
