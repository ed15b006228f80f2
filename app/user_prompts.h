#pragma once
// CUserPrompts: every question the dialogs put to the user (message boxes and
// the native file and folder dialogs) goes through one object, so that tests
// can answer them without a modal window.

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

namespace tonvelo {

class CUserPrompts {
 public:
  virtual ~CUserPrompts() = default;
  // An OK box with the program's name as its title; returns once dismissed.
  virtual void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text);
  // Empty when the user cancels.
  virtual QStringList GetOpenFileNames(QWidget* parent, const QString& title,
                                       const QString& filter);
  virtual QString GetExistingDirectory(QWidget* parent, const QString& prompt);
};

}  // namespace tonvelo
