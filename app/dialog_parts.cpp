#include "app/dialog_parts.h"

namespace tonvelo {

QGroupBox* MakeGroup(const QString& title, const char* objectName, QWidget* parent) {
  auto* group = new QGroupBox(title, parent);
  group->setObjectName(QString::fromLatin1(objectName));
  QFont bold = group->font();
  bold.setBold(true);
  group->setFont(bold);
  return group;
}

void UnboldChildren(QGroupBox* group) {
  // Children inherit the group's font unless they set a weight of their own.
  for (QWidget* child : group->findChildren<QWidget*>()) {
    QFont normal = child->font();
    normal.setBold(false);
    child->setFont(normal);
  }
}

QIcon ProgramIcon() {
  QIcon icon;
  icon.addFile(QStringLiteral(":/tonvelo/tonvelo.svg"));
  icon.addFile(QStringLiteral(":/tonvelo/tonvelo-64.png"));
  return icon;
}

}  // namespace tonvelo
