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

// Guidance in a live or playing source's preview: whether the board is looked
// for in the frames shown (bool, default true), whether a frame whose board
// adds coverage is captured without a press of "Capture" (bool, default
// false), and how far (the sum of the four measures' differences, 0..4) a
// board must lie from every view of its camera to add coverage (default 0.2).
inline constexpr const char* kLiveGuidanceKey = "Guidance/LiveDetection";
inline constexpr const char* kAutoCaptureKey = "Guidance/AutoCapture";
inline constexpr const char* kAutoCaptureDistanceKey = "Guidance/AutoCaptureDistance";
inline constexpr double kDefaultAutoCaptureDistance = 0.2;

struct LiveGuidanceOptions {
  bool detect = true;
  bool autoCapture = false;
  double distance = kDefaultAutoCaptureDistance;
};

inline LiveGuidanceOptions LoadLiveGuidanceOptions() {
  const QSettings settings = ApplicationSettings();
  LiveGuidanceOptions options;
  options.detect = settings.value(kLiveGuidanceKey, true).toBool();
  options.autoCapture = settings.value(kAutoCaptureKey, false).toBool();
  bool ok = false;
  const double distance = settings.value(kAutoCaptureDistanceKey).toDouble(&ok);
  if (ok && distance >= 0.0 && std::isfinite(distance)) options.distance = distance;
  return options;
}
