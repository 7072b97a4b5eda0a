#pragma once
// Where the application keeps its settings and under which keys: the options
// dialog writes them and the parts that follow them read them from here, so
// every reader and writer names the same store and the same key.

#include <QSettings>

// Profile settings live under this organisation, as they always have.
inline constexpr const char* kSettingsOrganisation = "Local AppWizard-Generated Applications";
inline constexpr const char* kSettingsApplication = "Lentora";

inline constexpr const char* kOutputFolderKey = "Output/Folder";        // string; empty: the application folder
inline constexpr const char* kDetectOnArrivalKey = "Detection/DetectOnArrival";  // bool, default true
// Megabytes of decoded view pictures kept for reuse (int, default 256; at least 16).
inline constexpr const char* kImageCacheMegabytesKey = "Images/CacheMegabytes";
inline constexpr int kDefaultImageCacheMegabytes = 256;

inline QSettings ApplicationSettings() { return QSettings(kSettingsOrganisation, kSettingsApplication); }
