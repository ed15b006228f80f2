#include "app/advanced_dialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include "app/dialog_parts.h"

namespace tonvelo {

namespace {

constexpr int kSliderTickStep = 20;

// A group of two radio buttons whose ids are the setting's values 0 and 1.
QButtonGroup* AddChoice(QGroupBox* group, const char* first, const char* second,
                        const char* firstName, const char* secondName) {
  auto* layout = new QVBoxLayout(group);
  auto* buttons = new QButtonGroup(group);
  int value = 0;
  for (auto [text, name] : {std::pair{first, firstName}, std::pair{second, secondName}}) {
    auto* radio = new QRadioButton(QString::fromUtf8(text), group);
    radio->setObjectName(QString::fromLatin1(name));
    buttons->addButton(radio, value++);
    layout->addWidget(radio);
  }
  return buttons;
}

void Check(QButtonGroup* group, int value) {
  if (QAbstractButton* button = group->button(value)) button->setChecked(true);
}

}  // namespace

CAdvancedDialog::CAdvancedDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("advancedDialog"));
  setWindowTitle(QStringLiteral("Advanced Features"));

  QGroupBox* rateGroup = MakeGroup(QStringLiteral("Output sample rate"), "sampleRateGroup", this);
  sampleRate_ = AddChoice(rateGroup, "44.1 KHz (CD or MP3)", "48 KHz (Video)", "rate44100Radio",
                          "rate48000Radio");
  QGroupBox* velocityGroup =
      MakeGroup(QStringLiteral("Source velocity profile"), "velocityProfileGroup", this);
  velocityProfile_ = AddChoice(velocityGroup, "Full range (1-127)", "Disklavier (30-95)",
                               "fullRangeRadio", "disklavierRangeRadio");
  pedalingGroup_ = MakeGroup(QStringLiteral("Proportional pedaling motion"), "pedalingGroup", this);
  pedaling_ = AddChoice(pedalingGroup_, "Use original proportional pedaling data, if present",
                        "Always synthesize new proportional pedaling data", "originalPedalingRadio",
                        "synthesizedPedalingRadio");

  timingGroup_ = MakeGroup(QStringLiteral("Proportional pedaling timing"), "timingGroup", this);
  offsetSlider_ = new QSlider(Qt::Horizontal, timingGroup_);
  offsetSlider_->setObjectName(QStringLiteral("offsetSlider"));
  offsetSlider_->setRange(kSustainOffsetMin, kSustainOffsetMax);
  offsetSlider_->setTickInterval(kSliderTickStep);
  offsetSlider_->setTickPosition(QSlider::TicksBelow);
  offsetSlider_->setPageStep(kSliderTickStep);
  offsetSlider_->setAccessibleName(QStringLiteral("Sustain timing offset"));
  auto* resetButton = new QPushButton(QStringLiteral("Reset"), timingGroup_);
  resetButton->setObjectName(QStringLiteral("resetButton"));
  resetButton->setAutoDefault(false);
  auto* hint = new QLabel(
      QStringLiteral("Slide LEFT if sustain pedaling is late (fails to catch notes intended to be "
                     "held).  Slide RIGHT if pedaling is early (catches notes not intended to be "
                     "held)."),
      timingGroup_);
  hint->setWordWrap(true);
  auto* timing = new QGridLayout(timingGroup_);
  timing->addWidget(new QLabel(QStringLiteral("Earlier"), timingGroup_), 0, 0);
  timing->addWidget(offsetSlider_, 0, 1);
  timing->addWidget(new QLabel(QStringLiteral("Later"), timingGroup_), 0, 2);
  timing->addWidget(resetButton, 0, 3);
  timing->addWidget(hint, 1, 0, 1, 4);
  timing->setColumnStretch(1, 1);

  for (QGroupBox* group : {rateGroup, velocityGroup, pedalingGroup_, timingGroup_})
    UnboldChildren(group);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(resetButton, &QPushButton::clicked, this, &CAdvancedDialog::onResetClicked);

  auto* top = new QGridLayout;
  top->addWidget(rateGroup, 0, 0);
  top->addWidget(velocityGroup, 0, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(pedalingGroup_);
  layout->addWidget(timingGroup_);
  layout->addWidget(buttons);
  // Wide enough that the hint wraps to two or three lines, not one word per line.
  setMinimumWidth(fontMetrics().averageCharWidth() * 60);

  SetValues(ConversionSettings{});
  SetPedalingEnabled(false);
}

bool CAdvancedDialog::HasPedalingOptions(int formatId) {
  return formatId == 0 || formatId == 1 || formatId == 6 || formatId == 9;
}

void CAdvancedDialog::SetValues(const ConversionSettings& settings) {
  Check(sampleRate_, settings.sampleRateChoice);
  Check(velocityProfile_, settings.velocityProfile);
  Check(pedaling_, settings.synthPropPedaling != 0 ? 1 : 0);
  offsetSlider_->setValue(settings.sustainTimingOffset);
}

void CAdvancedDialog::SetPedalingEnabled(bool enabled) {
  pedalingGroup_->setEnabled(enabled);
  timingGroup_->setEnabled(enabled);
}

void CAdvancedDialog::GetValues(ConversionSettings& settings) const {
  settings.sampleRateChoice = sampleRate_->checkedId();
  settings.velocityProfile = velocityProfile_->checkedId();
  settings.synthPropPedaling = pedaling_->checkedId();
  settings.sustainTimingOffset = offsetSlider_->value();
}

void CAdvancedDialog::onResetClicked() { offsetSlider_->setValue(0); }

}  // namespace tonvelo
