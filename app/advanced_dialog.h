#pragma once
// CAdvancedDialog: "Advanced Features", the four settings not on the main
// dialog. The pedaling choice and the sustain timing slider only mean
// something to the LX-family formats; for the others they are shown disabled
// and carried through unchanged.

#include <QDialog>

#include "pipeline/conversion_settings.h"

class QButtonGroup;
class QGroupBox;
class QSlider;

namespace tonvelo {

class CAdvancedDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CAdvancedDialog(QWidget* parent = nullptr);

  // Formats of the LX-family encoder: Live Performance LX, Bösendorfer SE,
  // QRS Pianomation 1, Steinway Spirio.
  static bool HasPedalingOptions(int formatId);

  // Fills the controls from the four advanced members of `settings`.
  void SetValues(const ConversionSettings& settings);
  void SetPedalingEnabled(bool enabled);
  // Copies the controls back into the four members; call after OK.
  void GetValues(ConversionSettings& settings) const;

 private:
  void onResetClicked();

  QButtonGroup* sampleRate_;
  QButtonGroup* velocityProfile_;
  QButtonGroup* pedaling_;
  QGroupBox* pedalingGroup_;
  QGroupBox* timingGroup_;
  QSlider* offsetSlider_;
};

}  // namespace tonvelo
