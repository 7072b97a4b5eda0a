#pragma once
// How a source's frames are cut into sub-views and which camera each feeds.

#include <array>
#include <cstdint>

// Kinds of source as the sources panel stores them.
enum SourceKind : int32_t { kVideoFileSource = 1, kLiveCameraSource = 2 };

enum DeinterlaceMode : int32_t { kDeinterlaceNone = 0, kDeinterlaceFields = 1 };
enum SplitMode : int32_t { kSplitNone = 0, kSplitStereo = 1, kSplitQuad = 2 };

constexpr int kMaxSubViews = 4;
constexpr int32_t kNoCamera = -1;

// Six signed 32-bit integers in this order.
struct SourceSettings {
  int32_t deinterlace = kDeinterlaceNone;
  int32_t split = kSplitNone;
  std::array<int32_t, kMaxSubViews> subViewCamera{kNoCamera, kNoCamera, kNoCamera, kNoCamera};

  bool operator==(const SourceSettings&) const = default;
};
static_assert(sizeof(SourceSettings) == 6 * sizeof(int32_t));

// Number of sub-views a split mode cuts a frame into: 1, 2 or 4; 0 for an
// unknown mode.
int SubViewsOfSplit(int32_t split);

// Sub-view i feeds camera i for the record's split; the other entries -1.
void DefaultSubViewCameras(SourceSettings& settings);
// Entries that feed a camera.
int CountSubViews(const SourceSettings& settings);
// Adds delta to every entry that feeds a camera.
void ShiftSubViewCameras(SourceSettings& settings, int delta);
