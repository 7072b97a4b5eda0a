#pragma once
// Where each picture of a video file lies in time, built once per file.
//
// Frame k of a file is the k-th picture its decoder gives, in presentation
// order. Nominal frame rates do not say where that picture is: an MP4 with
// B-frames starts its presentation times a few frames late, a WebM rounds them
// to milliseconds, a variable-rate clip has no single period. The index holds
// the stream's own time of every picture, so a seek can ask for exactly that
// time and check the picture that arrives.

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

namespace DShow {

class CFrameIndex {
 public:
  // How the index was made.
  enum class Origin {
    kNone,     // not built, or the file did not play
    kDemuxer,  // packet times of the video stream, without decoding
    kDecoder,  // a decode pass: times of the pictures themselves
    kCounted,  // a decode pass that found no times: only the count is known
  };

  // Stream times (ns, from the start of the stream as seeks count them),
  // ascending. Key frames are marked where the pass saw them.
  void Assign(std::vector<GstClockTime> times, std::vector<bool> keyFrames, Origin origin);
  void AssignCount(int64_t pictures);
  void Clear();

  Origin GetOrigin() const { return origin_; }
  bool HasTimes() const { return origin_ == Origin::kDemuxer || origin_ == Origin::kDecoder; }
  int64_t Count() const { return count_; }
  GstClockTime TimeOf(int64_t frame) const { return times_[static_cast<size_t>(frame)]; }
  // Pictures earlier than this belong to the frame before `frame`: halfway
  // between the two presentation times (0 for the first frame).
  GstClockTime LowerBound(int64_t frame) const;
  // First time that belongs to the next frame (none after the last).
  GstClockTime UpperBound(int64_t frame) const;
  // The frame whose interval holds `time`; -1 without times or before the first.
  int64_t FrameAt(GstClockTime time) const;
  // Latest key frame at or before `frame` in presentation order; 0 when no
  // key frame is known.
  int64_t KeyFrameAtOrBefore(int64_t frame) const;

 private:
  std::vector<GstClockTime> times_;
  std::vector<bool> keyFrames_;
  int64_t count_ = 0;
  Origin origin_ = Origin::kNone;
};

// Builds the index of the first video stream of `path`: a demux pass first
// (fast, no decoding); when its packets lack times or it fails, a decode
// pass. Returns false with a reason when neither gives any picture.
bool BuildFrameIndex(const std::string& path, CFrameIndex& index, std::string& error);

}  // namespace DShow
