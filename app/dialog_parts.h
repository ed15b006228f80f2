#pragma once
// Small pieces both dialogs are built from.

#include <QGroupBox>
#include <QIcon>
#include <QString>

namespace tonvelo {

// A group box with a bold title and normal-weight contents. Call
// UnboldChildren once its children exist.
QGroupBox* MakeGroup(const QString& title, const char* objectName, QWidget* parent);
void UnboldChildren(QGroupBox* group);

// The program icon, from the SVG with a PNG fallback when SVG images cannot
// be read.
QIcon ProgramIcon();

}  // namespace tonvelo
