#pragma once
// The program's frame sampler: keeps the newest frame of a source for
// grabbing, can undistort every frame in place, and can log one line per
// frame for network synchronisation. Grabbing turns the newest frame into
// new views of the store's cameras.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "records/Records.h"
#include "sources/SourceModel.h"
#include "sources/media/DShow.h"

class CCalibrationData;

// Millisecond tick of a monotonic clock, wrapping at 2^32.
uint32_t MillisecondTick();

// One frame log line: frame number, local tick, sample start time (100 ns),
// local tick - remote tick (signed), remote tick.
std::string FormatFrameLogLine(uint32_t frameCount, uint32_t now, int64_t sampleStart, uint32_t remoteTick);

struct FrameLogLine {
  uint32_t frameCount = 0;
  uint32_t localTick = 0;
  int64_t sampleStart = 0;
  int32_t tickDifference = 0;
  uint32_t remoteTick = 0;
};
// Reads a line written by FormatFrameLogLine; false when it does not parse.
bool ParseFrameLogLine(const std::string& line, FrameLogLine& parsed);

class CSourceFrameSampler : public DShow::CFrameSampler {
 public:
  CSourceFrameSampler();
  ~CSourceFrameSampler() override;

  DShow::HRESULT SampleCB(double sampleTime, DShow::MediaSample& sample) override;

  // A deep copy of the newest frame; empty before any frame arrived.
  cv::Mat CloneLatestFrame();
  // Undistorts every later frame with the camera's parameters. Needs the
  // frame size (from a frame, or before the first one from the connected
  // format); false without it, for parameters of another picture size, or
  // when the parameters give no table (zero focal length).
  bool EnableUndistortion(const CameraParameters& parameters);
  // The same, with the undistorted frame seen through the output camera
  // fx, fy, cx, cy instead of the camera's own matrix (a fisheye shows more
  // through a wider output than through its own focal length).
  bool EnableUndistortion(const CameraParameters& parameters, const std::array<double, 4>& output);
  // The frame size as EnableUndistortion sees it; false while unknown.
  bool FrameSize(int& width, int& height);
  // Starts a new frame log at `path` (replacing the file); false when it
  // cannot be created.
  bool OpenLog(const std::string& path);
  void CloseLog();

  // Written by the network socket; the arrival is remembered, so that a frame
  // logs the peer's tick it could have known when it was captured.
  void SetRemoteTick(uint32_t tick);
  uint32_t RemoteTick() const { return remoteTick_.load(std::memory_order_relaxed); }

  bool FormatKnown() const;
  bool Flip() const;
  int Width() const;
  int Height() const;
  int Stride() const;
  uint32_t FrameCount() const;
  bool Undistorting() const;
  // fx, fy, cx, cy of the undistorted frames while Undistorting().
  std::array<double, 4> UndistortionOutput() const;
  bool Logging() const;

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const {
      if (file) std::fclose(file);
    }
  };

  bool LearnFormat();
  void UndistortInPlace(uint8_t* data);
  void WriteLogLine(const DShow::MediaSample& sample);

  mutable std::mutex lock_;
  bool formatKnown_ = false;
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  // The newest frame. The sample's own buffer belongs to the graph and is
  // gone once the callback returns, so the sampler keeps its own copy.
  cv::Mat frame_;
  bool hasFrame_ = false;
  cv::Mat undistorted_;
  bool flip_ = true;
  bool undistort_ = false;
  std::array<double, 4> output_{};
  std::vector<int> table_;
  bool logging_ = false;
  std::unique_ptr<std::FILE, FileCloser> log_;
  uint32_t frameCount_ = 0;
  std::atomic<uint32_t> remoteTick_{0};
  uint32_t RemoteTickAt(uint32_t localTick);
  std::mutex heartbeatLock_;
  std::deque<std::pair<uint32_t, uint32_t>> heartbeats_;  // (local tick on arrival, peer tick), newest last
};

// Adds the sampler's newest frame as new views: split None adds the whole
// frame (upright) to subViewCamera[0]; Stereo and Quad add each half or
// quarter to its camera, with half the height when the source holds fields.
// Returns the number of views added; 0 when no frame has arrived.
int GrabFrameIntoCameras(CSourceFrameSampler& sampler, const SourceSettings& settings, CCalibrationData& data);

// The "Capture" button: pause, grab, run again; a stopped graph stays
// stopped and gives the last frame it delivered.
int GrabFrameFromGraph(DShow::CDShowGraph& graph, CSourceFrameSampler& sampler, const SourceSettings& settings,
                       CCalibrationData& data);

// The program's graphs: each installs a CSourceFrameSampler and keeps a typed
// pointer to it (the graph owns the sampler).
class CSamplingFileGraph : public DShow::CDShowFileGraph {
 public:
  using DShow::CDShowFileGraph::CDShowFileGraph;
  DShow::HRESULT InitialiseFrameSampler() override;
  CSourceFrameSampler* Sampler() const { return sampler_; }

 private:
  CSourceFrameSampler* sampler_ = nullptr;
};

class CSamplingCaptureGraph : public DShow::CDShowCaptureGraph {
 public:
  using DShow::CDShowCaptureGraph::CDShowCaptureGraph;
  DShow::HRESULT InitialiseFrameSampler() override;
  CSourceFrameSampler* Sampler() const { return sampler_; }
  uint32_t recordStartTick = 0;

 private:
  CSourceFrameSampler* sampler_ = nullptr;
};
