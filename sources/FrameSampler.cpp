#include "sources/FrameSampler.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <span>

#include <opencv2/core.hpp>

#include "core/CalibrationData.h"
#include "imaging/GDI.h"
#include "imaging/IP.h"
#include "imaging/MVG.h"

using DShow::HRESULT;

uint32_t MillisecondTick() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string FormatFrameLogLine(uint32_t frameCount, uint32_t now, int64_t sampleStart, uint32_t remoteTick) {
  // The difference wraps like the ticks themselves: a peer slightly ahead
  // gives a small negative number, not a huge positive one.
  const auto difference = static_cast<int32_t>(now - remoteTick);
  char line[96];
  std::snprintf(line, sizeof line, "%u %u %lld %d %u\n", frameCount, now, static_cast<long long>(sampleStart), difference,
                remoteTick);
  return line;
}

namespace {

template <class T>
bool ParseField(const char*& cursor, const char* end, T& value, bool last) {
  const auto [next, error] = std::from_chars(cursor, end, value);
  if (error != std::errc() || next == cursor) return false;
  cursor = next;
  if (last) return true;
  if (cursor == end || *cursor != ' ') return false;
  ++cursor;
  return true;
}

}  // namespace

bool ParseFrameLogLine(const std::string& line, FrameLogLine& parsed) {
  const char* cursor = line.data();
  const char* end = line.data() + line.size();
  while (end > cursor && (end[-1] == '\n' || end[-1] == '\r')) --end;
  FrameLogLine result;
  if (!ParseField(cursor, end, result.frameCount, false) || !ParseField(cursor, end, result.localTick, false) ||
      !ParseField(cursor, end, result.sampleStart, false) || !ParseField(cursor, end, result.tickDifference, false) ||
      !ParseField(cursor, end, result.remoteTick, true) || cursor != end)
    return false;
  parsed = result;
  return true;
}

// ---- Sampler ---------------------------------------------------------------

CSourceFrameSampler::CSourceFrameSampler() = default;
CSourceFrameSampler::~CSourceFrameSampler() = default;

bool CSourceFrameSampler::LearnFormat() {
  const DShow::MediaType type = GetMediaType();
  if (!type.valid || type.width <= 0 || type.height <= 0) return false;
  const int stride = (3 * type.width + 3) / 4 * 4;
  if (type.stride != 0 && type.stride != stride) return false;  // not packed 24-bit rows
  width_ = type.width;
  height_ = type.height;
  stride_ = stride;
  flip_ = !type.topDown;
  frame_.create(height_, width_, CV_8UC3);
  undistorted_.create(height_, width_, CV_8UC3);
  formatKnown_ = true;
  return true;
}

HRESULT CSourceFrameSampler::SampleCB(double, DShow::MediaSample& sample) {
  std::lock_guard lock(lock_);
  if (!formatKnown_ && !LearnFormat()) return DShow::S_OK;
  if (!sample.data || sample.size < static_cast<size_t>(stride_) * height_) return DShow::S_OK;
  if (undistort_) UndistortInPlace(sample.data);
  cv::Mat(height_, width_, CV_8UC3, sample.data, stride_).copyTo(frame_);
  hasFrame_ = true;
  if (logging_) WriteLogLine(sample);
  return DShow::S_OK;
}

// The undistorted picture goes back into the sample, so that what the graph
// shows and records downstream is undistorted too.
void CSourceFrameSampler::UndistortInPlace(uint8_t* data) {
  cv::Mat view(height_, width_, CV_8UC3, data, stride_);
  if (IP::WarpByWeightsIndex(view, undistorted_, table_)) undistorted_.copyTo(view);
}

void CSourceFrameSampler::SetRemoteTick(uint32_t tick) {
  remoteTick_.store(tick, std::memory_order_relaxed);
  std::lock_guard lock(heartbeatLock_);
  heartbeats_.emplace_back(MillisecondTick(), tick);
  if (heartbeats_.size() > 64) heartbeats_.pop_front();
}

// The newest peer tick that had arrived by `localTick`; 0 when none had.
uint32_t CSourceFrameSampler::RemoteTickAt(uint32_t localTick) {
  std::lock_guard lock(heartbeatLock_);
  for (auto it = heartbeats_.rbegin(); it != heartbeats_.rend(); ++it)
    if (static_cast<int32_t>(localTick - it->first) >= 0) return it->second;
  return 0;
}

void CSourceFrameSampler::WriteLogLine(const DShow::MediaSample& sample) {
  int64_t start = 0, end = 0;
  if (DShow::Failed(sample.GetTime(&start, &end))) start = 0;
  // The tick of the moment the frame was captured: a busy machine may hand it
  // to the sampler tens of milliseconds later, which would spoil the matching.
  const bool timed = sample.captureMs >= 0.0;
  const uint32_t captured = timed ? static_cast<uint32_t>(static_cast<uint64_t>(sample.captureMs)) : MillisecondTick();
  const uint32_t remote = timed ? RemoteTickAt(captured) : RemoteTick();
  const std::string line = FormatFrameLogLine(frameCount_, captured, start, remote);
  std::fputs(line.c_str(), log_.get());
  std::fflush(log_.get());
  ++frameCount_;
}

cv::Mat CSourceFrameSampler::CloneLatestFrame() {
  std::lock_guard lock(lock_);
  if (!hasFrame_) return {};
  return frame_.clone();
}

bool CSourceFrameSampler::EnableUndistortion(const CameraParameters& parameters) {
  return EnableUndistortion(parameters, {parameters.fx(), parameters.fy(), parameters.cx(), parameters.cy()});
}

bool CSourceFrameSampler::EnableUndistortion(const CameraParameters& parameters, const std::array<double, 4>& output) {
  std::lock_guard lock(lock_);
  if (!formatKnown_ && !LearnFormat()) return false;
  // A table made for another picture size would warp the frame wrongly.
  if (parameters.width != width_ || parameters.height != height_) return false;
  const size_t size = MVG::UndistortionTableSize(width_, height_);
  if (size == 0) return false;
  std::vector<int> table(size);
  if (!MVG::ComputeUndistortionMapCoefficients(parameters, output, MVG::kBilinear, std::span<int>(table))) return false;
  table_ = std::move(table);
  output_ = output;
  undistort_ = true;
  return true;
}

bool CSourceFrameSampler::FrameSize(int& width, int& height) {
  std::lock_guard lock(lock_);
  if (!formatKnown_ && !LearnFormat()) return false;
  width = width_;
  height = height_;
  return true;
}

bool CSourceFrameSampler::OpenLog(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "w"));
  std::lock_guard lock(lock_);
  log_ = std::move(file);
  logging_ = log_ != nullptr;
  frameCount_ = 0;
  return logging_;
}

void CSourceFrameSampler::CloseLog() {
  std::lock_guard lock(lock_);
  logging_ = false;
  log_.reset();
}

bool CSourceFrameSampler::FormatKnown() const {
  std::lock_guard lock(lock_);
  return formatKnown_;
}
bool CSourceFrameSampler::Flip() const {
  std::lock_guard lock(lock_);
  return flip_;
}
int CSourceFrameSampler::Width() const {
  std::lock_guard lock(lock_);
  return width_;
}
int CSourceFrameSampler::Height() const {
  std::lock_guard lock(lock_);
  return height_;
}
int CSourceFrameSampler::Stride() const {
  std::lock_guard lock(lock_);
  return stride_;
}
uint32_t CSourceFrameSampler::FrameCount() const {
  std::lock_guard lock(lock_);
  return frameCount_;
}
bool CSourceFrameSampler::Undistorting() const {
  std::lock_guard lock(lock_);
  return undistort_;
}
std::array<double, 4> CSourceFrameSampler::UndistortionOutput() const {
  std::lock_guard lock(lock_);
  return output_;
}
bool CSourceFrameSampler::Logging() const {
  std::lock_guard lock(lock_);
  return logging_;
}

// ---- Grabbing --------------------------------------------------------------

namespace {

template <size_t N>
int AddSubViews(std::array<cv::Mat, N>& views, const SourceSettings& settings, CCalibrationData& data) {
  int added = 0;
  for (size_t i = 0; i < N; ++i) {
    const int camera = settings.subViewCamera[i];
    if (camera != kNoCamera && data.AddViewFromFrame(camera, std::move(views[i]))) ++added;
  }
  return added;
}

template <size_t N>
std::array<cv::Mat, N> MakeSubViews(int width, int height) {
  std::array<cv::Mat, N> views;
  for (cv::Mat& view : views) view.create(height, width, CV_8UC3);
  return views;
}

}  // namespace

int GrabFrameIntoCameras(CSourceFrameSampler& sampler, const SourceSettings& settings, CCalibrationData& data) {
  cv::Mat frame = sampler.CloneLatestFrame();
  if (frame.empty()) return 0;
  const bool flip = sampler.Flip();
  const bool fields = settings.deinterlace == kDeinterlaceFields;
  const int f = fields ? 2 : 1;
  switch (settings.split) {
    case kSplitNone: {
      if (flip) cv::flip(frame, frame, 0);
      const int camera = settings.subViewCamera[0];
      return camera != kNoCamera && data.AddViewFromFrame(camera, std::move(frame)) ? 1 : 0;
    }
    case kSplitStereo: {
      auto views = MakeSubViews<2>(frame.cols / 2, frame.rows / f);
      if (!GDI::SplitFrameStereo(frame, views, flip, fields)) return 0;
      return AddSubViews(views, settings, data);
    }
    case kSplitQuad: {
      auto views = MakeSubViews<4>(frame.cols / 2, frame.rows / (2 * f));
      if (!GDI::SplitFrameQuad(frame, views, flip, fields)) return 0;
      return AddSubViews(views, settings, data);
    }
    default:
      return 0;
  }
}

int GrabFrameFromGraph(DShow::CDShowGraph& graph, CSourceFrameSampler& sampler, const SourceSettings& settings,
                       CCalibrationData& data) {
  // Pausing a stopped graph would reopen its recording file and running it
  // would record over it: a stopped graph gives the newest frame it kept.
  if (graph.IsStopped()) return GrabFrameIntoCameras(sampler, settings, data);
  graph.Pause();
  const int added = GrabFrameIntoCameras(sampler, settings, data);
  graph.Run();
  return added;
}

// ---- Program graphs --------------------------------------------------------

HRESULT CSamplingFileGraph::InitialiseFrameSampler() {
  auto sampler = std::make_unique<CSourceFrameSampler>();
  sampler_ = sampler.get();
  SetFrameSampler(std::move(sampler));
  return DShow::S_OK;
}

HRESULT CSamplingCaptureGraph::InitialiseFrameSampler() {
  auto sampler = std::make_unique<CSourceFrameSampler>();
  sampler_ = sampler.get();
  SetFrameSampler(std::move(sampler));
  return DShow::S_OK;
}
