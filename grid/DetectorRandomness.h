#pragma once
// The library's sector-based chequerboard detector draws random numbers from
// the calling thread's generator (cv::theRNG()), which every earlier draw on
// that thread has moved on. Left alone, one picture's board is then found in
// one run and missed in the next, or found with other corners, depending on
// what the thread did before. Every call of that detector goes through
// FindBoardFromFixedState: it starts from the same state every time, and the
// caller's state is given back afterwards, so detection neither depends on
// nor disturbs the caller's random numbers.

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

class FixedDetectorRandomness {
 public:
  FixedDetectorRandomness() : saved_(cv::theRNG().state) { cv::theRNG().state = cv::RNG().state; }
  ~FixedDetectorRandomness() { cv::theRNG().state = saved_; }
  FixedDetectorRandomness(const FixedDetectorRandomness&) = delete;
  FixedDetectorRandomness& operator=(const FixedDetectorRandomness&) = delete;

 private:
  uint64 saved_;
};

inline bool FindBoardFromFixedState(cv::InputArray gray, const cv::Size& pattern, cv::OutputArray corners, int flags,
                                    cv::OutputArray meta = cv::noArray()) {
  const FixedDetectorRandomness fixed;
  return cv::findChessboardCornersSB(gray, pattern, corners, flags, meta);
}
