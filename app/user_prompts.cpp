#include "app/user_prompts.h"

#include <QFileDialog>

namespace tonvelo {

void CUserPrompts::ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
  QMessageBox box(icon, QStringLiteral("Tonvelo"), text, QMessageBox::Ok, parent);
  box.exec();
}

QStringList CUserPrompts::GetOpenFileNames(QWidget* parent, const QString& title,
                                           const QString& filter) {
  return QFileDialog::getOpenFileNames(parent, title, QString(), filter);
}

QString CUserPrompts::GetExistingDirectory(QWidget* parent, const QString& prompt) {
  return QFileDialog::getExistingDirectory(parent, prompt);
}

}  // namespace tonvelo
