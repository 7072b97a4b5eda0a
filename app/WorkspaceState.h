#pragma once
// Whether a workspace has changed since it was last saved or loaded: a
// fingerprint of everything a save writes except the image pixels (a view's
// image never changes once it is in the store, so its size stands for it).

#include <cstdint>

class CCalibrationData;

uint64_t WorkspaceFingerprint(const CCalibrationData& data);
