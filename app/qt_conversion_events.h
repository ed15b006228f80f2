#pragma once
// CQtConversionEvents: the conversion thread's reports as Qt signals. Status,
// progress and the end of the batch are queued to the dialog; a message box
// blocks the worker until the user has dismissed it on the GUI thread.

#include <QObject>
#include <QString>

#include "framework/conversion_events.h"

class QWidget;

namespace tonvelo {

class CUserPrompts;

class CQtConversionEvents : public QObject, public ConversionEvents {
  Q_OBJECT

 public:
  // A child of `boxParent`, the window its message boxes belong to.
  CQtConversionEvents(CUserPrompts& prompts, QWidget* boxParent);

  void OnStatus(const std::string& text) override;
  void OnProgress(unsigned percent) override;
  void OnFinished(int result) override;
  void ShowMessage(MessageIcon icon, const std::string& text) override;

  // While the dialog closes it waits for the worker, so boxes are dropped
  // instead of shown (GUI thread only).
  void SetSilent(bool silent) { silent_ = silent; }

 signals:
  void statusChanged(const QString& text);
  void progressChanged(int percent);
  void finished(int result);

 private:
  CUserPrompts& prompts_;
  QWidget* boxParent_;
  bool silent_ = false;
};

}  // namespace tonvelo
