#include "app/settings_store.h"

#include <QSettings>
#include <algorithm>
#include <array>

#include "app/audio_types.h"
#include "pipeline/catalogue.h"

namespace tonvelo {

namespace {

// What a stored value may be. Values come back as whatever wrote them left
// them; one that no control could show is replaced on load, so what the dialog
// shows is also what it stores again.
enum class Range {
  kFlag,       // 0 or 1; any other number counts as 1, as the conversion reads it
  kChoice01,   // 0 or 1; anything else is the default
  kAudioType,  // a row of kAudioTypes, else the default
  kFormatId,   // a catalogue id, else the default (Live Performance LX)
  kOffset,     // clamped to the slider's range
};

struct IntKey {
  const char* name;
  int ConversionSettings::*member;
  int defaultValue;
  Range range;
};

// The nine values: OutputPath, the one text among them, and eight numbers.
constexpr const char* kOutputPathKey = "OutputPath";
// clang-format off
constexpr std::array<IntKey, 8> kIntKeys{{
  // value name             member                                 default  range
  { "PrependFormatID",     &ConversionSettings::prependFormatKey,    0, Range::kFlag },
  { "OutputPathCustom",    &ConversionSettings::outputPathMode,      0, Range::kFlag },
  { "AudioFileType",       &ConversionSettings::audioFileType,       0, Range::kAudioType },
  { "OutputFormat",        &ConversionSettings::outputFormat,        0, Range::kFormatId },
  { "SampleRate",          &ConversionSettings::sampleRateChoice,    0, Range::kChoice01 },
  { "SourceVelProfile",    &ConversionSettings::velocityProfile,     0, Range::kChoice01 },
  { "SynthPropPedaling",   &ConversionSettings::synthPropPedaling,   0, Range::kFlag },
  { "SustainTimingOffset", &ConversionSettings::sustainTimingOffset, 0, Range::kOffset },
}};
// clang-format on

int Checked(int value, const IntKey& key) {
  switch (key.range) {
    case Range::kFlag:
      return value != 0 ? 1 : 0;
    case Range::kChoice01:
      return value == 0 || value == 1 ? value : key.defaultValue;
    case Range::kAudioType:
      return std::any_of(kAudioTypes.begin(), kAudioTypes.end(),
                         [&](const AudioTypeRow& row) { return row.value == value; })
                 ? value
                 : key.defaultValue;
    case Range::kFormatId:
      return FindFormatById(value) != nullptr ? value : key.defaultValue;
    case Range::kOffset:
      return std::clamp(value, kSustainOffsetMin, kSustainOffsetMax);
  }
  return key.defaultValue;
}

std::unique_ptr<QSettings> OpenUserSettings() {
#ifdef Q_OS_WIN
  // An organization without an application would land in a sub-key
  // ("OrganizationDefaults"); the values belong in the key itself.
  return std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software\\Tonvelo"),
                                     QSettings::NativeFormat);
#else
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("Tonvelo"));
#endif
}

}  // namespace

CSettingsStore::CSettingsStore() : settings_(OpenUserSettings()) {}

CSettingsStore::CSettingsStore(const QString& iniPath)
    : settings_(std::make_unique<QSettings>(iniPath, QSettings::IniFormat)) {}

CSettingsStore::~CSettingsStore() = default;

ConversionSettings CSettingsStore::Load() const {
  ConversionSettings loaded;
  for (const IntKey& key : kIntKeys) {
    bool ok = false;
    const int value = settings_->value(key.name).toInt(&ok);
    loaded.*key.member = ok ? Checked(value, key) : key.defaultValue;
  }
  // An empty path would be taken for a chosen folder (the working directory).
  const QString path = settings_->value(kOutputPathKey).toString();
  loaded.customOutputFolder = path.isEmpty() ? kOutputPathNotSet : path.toStdString();
  return loaded;
}

void CSettingsStore::Save(const ConversionSettings& settings) {
  for (const IntKey& key : kIntKeys) settings_->setValue(key.name, settings.*key.member);
  settings_->setValue(kOutputPathKey, QString::fromStdString(settings.customOutputFolder));
  settings_->sync();
}

}  // namespace tonvelo
