#pragma once
// CSettingsStore: the nine persisted settings, and the only code that touches
// QSettings. On Windows they live in the registry under
// HKEY_CURRENT_USER\Software\Tonvelo; elsewhere in the user's settings file
// (~/.config/Tonvelo.conf on Linux). Tests hand it an INI file instead.

#include <QString>
#include <memory>

#include "pipeline/conversion_settings.h"

class QSettings;

namespace tonvelo {

class CSettingsStore {
 public:
  CSettingsStore();                                 // the user's own store
  explicit CSettingsStore(const QString& iniPath);  // an INI file of the caller's choice
  ~CSettingsStore();

  // Defaults for anything missing or unusable, so the dialog always shows one
  // valid choice in every group (see the .cpp for what "unusable" means).
  ConversionSettings Load() const;
  // Failures are silent: the settings simply stay as they were stored.
  void Save(const ConversionSettings& settings);

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace tonvelo
