#pragma once
// Where the application keeps its settings and under which keys: the options
// dialog writes them and the parts that follow them read them from here, so
// every reader and writer names the same store and the same key.

#include <QSettings>
#include <cmath>

#include "app/EnoughViews.h"

// Profile settings live under this organisation, as they always have.
inline constexpr const char* kSettingsOrganisation = "Local AppWizard-Generated Applications";
inline constexpr const char* kSettingsApplication = "Lentora";

inline constexpr const char* kOutputFolderKey = "Output/Folder";        // string; empty: the application folder
inline constexpr const char* kDetectOnArrivalKey = "Detection/DetectOnArrival";  // bool, default true
// Megabytes of decoded view pictures kept for reuse (int, default 256; at least 16).
inline constexpr const char* kImageCacheMegabytesKey = "Images/CacheMegabytes";
inline constexpr int kDefaultImageCacheMegabytes = 256;

inline QSettings ApplicationSettings() { return QSettings(kSettingsOrganisation, kSettingsApplication); }

// When a camera's views are enough (see app/EnoughViews.h for the defaults): the
// worst projection uncertainty in the central 90% (pixels), the share of image
// cells holding corners and the spread each board measure must reach (0..1).
inline constexpr const char* kEnoughUncertaintyKey = "Guidance/MaxCentralUncertainty";
inline constexpr const char* kEnoughShareKey = "Guidance/MinCellShare";
inline constexpr const char* kEnoughSpreadKey = "Guidance/MinSpread";

inline EnoughViewsThresholds GuidanceThresholds() {
  const QSettings settings = ApplicationSettings();
  EnoughViewsThresholds thresholds;
  const auto read = [&settings](const char* key, double& value) {
    bool ok = false;
    const double stored = settings.value(key).toDouble(&ok);
    if (ok && stored >= 0.0 && std::isfinite(stored)) value = stored;
  };
  read(kEnoughUncertaintyKey, thresholds.maxCentralUncertainty);
  read(kEnoughShareKey, thresholds.minCellShare);
  read(kEnoughSpreadKey, thresholds.minSpread);
  return thresholds;
}
