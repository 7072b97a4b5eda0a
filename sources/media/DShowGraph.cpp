// The graph base: pipeline, preview chain, sample grabber, renderer, state
// changes, seeking and the recording branch.

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "sources/media/DShow.h"

namespace DShow {

namespace {

// Long enough for a slow decoder to preroll, short enough that a stuck graph
// does not hang the program.
constexpr auto kStateTimeout = std::chrono::seconds(10);
constexpr auto kFinishTimeout = std::chrono::seconds(5);
constexpr GstClockTime kPollInterval = 20 * GST_MSECOND;
// A prerolled graph has its picture through already; a running one soon.
constexpr auto kPictureTimeout = std::chrono::milliseconds(500);

int64_t To100ns(GstClockTime time) { return static_cast<int64_t>(time / 100); }

MediaType MediaTypeFromCaps(GstCaps* caps) {
  MediaType type;
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps)) return type;
  type.valid = true;
  type.width = GST_VIDEO_INFO_WIDTH(&info);
  type.height = GST_VIDEO_INFO_HEIGHT(&info);
  type.stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
  type.fpsNumerator = GST_VIDEO_INFO_FPS_N(&info);
  type.fpsDenominator = GST_VIDEO_INFO_FPS_D(&info) > 0 ? GST_VIDEO_INFO_FPS_D(&info) : 1;
  return type;
}

ElementPtr MakeElement(const char* factory, const char* name) {
  return AdoptFloating(gst_element_factory_make(factory, name));
}

}  // namespace

void EnsureGstInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

HRESULT MediaSample::GetTime(int64_t* start, int64_t* end) const {
  if (!start || !end) return E_POINTER;
  if (!hasTime) return E_FAIL;
  *start = startTime;
  *end = endTime;
  return S_OK;
}

void CFrameSampler::SetMediaType(const MediaType& type) {
  std::lock_guard lock(typeMutex_);
  mediaType_ = type;
}

MediaType CFrameSampler::GetMediaType() const {
  std::lock_guard lock(typeMutex_);
  return mediaType_;
}

// ---- Construction ----------------------------------------------------------

CDShowGraph::CDShowGraph(CVideoWindow* window) : window_(window) {
  EnsureGstInitialised();
  gst_segment_init(&grabberSegment_, GST_FORMAT_UNDEFINED);
}

CDShowGraph::~CDShowGraph() { TearDown(); }

void CDShowGraph::TearDown() {
  if (!pipeline_) return;
  if (recording_) FinishRecording();
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  if (BusPtr bus{gst_element_get_bus(pipeline_.get())}) gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
  // The pipeline must be gone before the sampler the probe calls.
  {
    std::lock_guard lock(renderMutex_);
    rendered_.reset();
  }
  renderer_.reset();
  grabber_.reset();
  capsFilter_.reset();
  convert_.reset();
  source_.reset();
  pipeline_.reset();
}

HRESULT CDShowGraph::CreatePipeline() {
  TearDown();
  pipeline_ = AdoptFloating(gst_pipeline_new("Filter Graph"));
  if (!pipeline_) return E_FAIL;
  BusPtr bus{gst_element_get_bus(pipeline_.get())};
  gst_bus_set_sync_handler(bus.get(), &CDShowGraph::OnBusMessage, this, nullptr);
  ResetBusState();
  recording_ = false;
  live_ = false;
  SetFrameIndex(CFrameIndex{});
  {
    std::lock_guard lock(samplerMutex_);
    pendingGuard_ = activeGuard_ = SeekGuard{};
    picturesSinceFlush_ = 0;
  }
  passedSinceFlush_ = 0;
  firstPassedTime_ = GST_CLOCK_TIME_NONE;
  currentFrame_ = -1;
  return S_OK;
}

HRESULT CDShowGraph::BuildPreviewChain() {
  convert_ = MakeElement("videoconvert", "Colour Converter");
  capsFilter_ = MakeElement("capsfilter", "Grabber Format");
  ElementPtr grabber = MakeElement("identity", "Sample Grabber");
  renderer_ = MakeElement("appsink", "Video Renderer");
  if (!convert_ || !capsFilter_ || !grabber || !renderer_) return E_FAIL;

  CapsPtr bgr{gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", nullptr)};
  g_object_set(capsFilter_.get(), "caps", bgr.get(), nullptr);
  g_object_set(renderer_.get(), "sync", TRUE, "max-buffers", 1u, "drop", TRUE, "enable-last-sample", FALSE, nullptr);
  GstAppSinkCallbacks callbacks{};
  callbacks.new_preroll = &CDShowGraph::OnRendererPreroll;
  callbacks.new_sample = &CDShowGraph::OnRendererSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(renderer_.get()), &callbacks, this, nullptr);

  GstBin* bin = GST_BIN(pipeline_.get());
  for (GstElement* e : {convert_.get(), capsFilter_.get(), grabber.get(), renderer_.get()}) gst_bin_add(bin, e);
  if (!gst_element_link_many(convert_.get(), capsFilter_.get(), grabber.get(), renderer_.get(), nullptr)) return E_FAIL;
  AttachSampleGrabber(grabber.get());
  return S_OK;
}

void CDShowGraph::RemovePreviewChain() {
  if (!pipeline_) return;
  DetachGrabberProbe();
  for (ElementPtr* element : {&convert_, &capsFilter_, &grabber_, &renderer_}) {
    if (!*element) continue;
    gst_element_set_state(element->get(), GST_STATE_NULL);
    if (GST_OBJECT_PARENT(element->get()) == GST_OBJECT(pipeline_.get())) gst_bin_remove(GST_BIN(pipeline_.get()), element->get());
    element->reset();
  }
}

void CDShowGraph::DetachGrabberProbe() {
  if (grabber_ && grabberProbe_) {
    if (PadPtr old{gst_element_get_static_pad(grabber_.get(), "src")}) gst_pad_remove_probe(old.get(), grabberProbe_);
  }
  grabberProbe_ = 0;
}

void CDShowGraph::AttachSampleGrabber(GstElement* element) {
  DetachGrabberProbe();
  grabber_ = RefObject(element);
  if (!grabber_) return;
  gst_segment_init(&grabberSegment_, GST_FORMAT_UNDEFINED);
  PadPtr pad{gst_element_get_static_pad(grabber_.get(), "src")};
  if (!pad) return;
  const auto types = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                  GST_PAD_PROBE_TYPE_EVENT_FLUSH);
  grabberProbe_ = gst_pad_add_probe(pad.get(), types, &CDShowGraph::OnGrabberProbe, this, nullptr);
}

// ---- Frame sampler ---------------------------------------------------------

void CDShowGraph::SetFrameSampler(std::unique_ptr<CFrameSampler> sampler) {
  std::unique_ptr<CFrameSampler> old;
  std::lock_guard lock(samplerMutex_);
  old = std::move(sampler_);
  sampler_ = std::move(sampler);
  if (sampler_ && grabberType_.valid) sampler_->SetMediaType(grabberType_);
}

GstPadProbeReturn CDShowGraph::OnGrabberProbe(GstPad*, GstPadProbeInfo* info, gpointer self) {
  auto* graph = static_cast<CDShowGraph*>(self);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
    return graph->HandleGrabberBuffer(info) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (!event) return GST_PAD_PROBE_OK;
  if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
    graph->RestartPictureCount();
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    graph->HandleGrabberCaps(caps);
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    if (segment) gst_segment_copy_into(segment, &graph->grabberSegment_);
  }
  return GST_PAD_PROBE_OK;
}

void CDShowGraph::HandleGrabberCaps(GstCaps* caps) {
  const MediaType type = MediaTypeFromCaps(caps);
  std::lock_guard lock(samplerMutex_);
  grabberType_ = type;
  if (sampler_) sampler_->SetMediaType(type);
}

double CDShowGraph::CaptureMomentMs(GstClockTime pts, const GstSegment& segment) const {
  GstPtr<GstClock> clock{pipeline_ ? gst_element_get_clock(pipeline_.get()) : nullptr};
  if (!clock || segment.format != GST_FORMAT_TIME) return -1.0;
  // The two clocks are read back to back, so the frame's age carries over to
  // the steady clock exactly, however late this thread runs afterwards. A busy
  // machine may still stop the thread between the two readings (the log then
  // put the frame 8 ms early), so the gst reading is bracketed by two steady
  // ones and taken again until the bracket is tight.
  auto steadyMs = [] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
  };
  GstClockTime clockNow = 0;
  double steadyNowMs = 0.0, tightest = 1e9;
  for (int attempt = 0; attempt < 5 && tightest > 0.2; ++attempt) {
    const double before = steadyMs();
    const GstClockTime reading = gst_clock_get_time(clock.get());
    const double after = steadyMs();
    if (after - before < tightest) tightest = after - before, clockNow = reading, steadyNowMs = (before + after) / 2.0;
  }
  const GstClockTime runningNow = clockNow - gst_element_get_base_time(pipeline_.get());
  const guint64 captured = gst_segment_to_running_time(&segment, GST_FORMAT_TIME, pts);
  if (captured == GST_CLOCK_TIME_NONE || captured > runningNow) return -1.0;
  const double age = static_cast<double>(runningNow - captured) / GST_MSECOND;
  return age < 10000.0 ? steadyNowMs - age : -1.0;  // older than that is not a capture time
}

void CDShowGraph::RestartPictureCount() {
  std::lock_guard lock(samplerMutex_);
  activeGuard_ = pendingGuard_;
  picturesSinceFlush_ = 0;
  passedSinceFlush_ = 0;
  firstPassedTime_ = GST_CLOCK_TIME_NONE;
}

namespace {

// Stream time of a buffer in its segment; pictures that start before the
// segment count as time 0. None without a time.
GstClockTime StreamTimeOf(const GstSegment& segment, GstBuffer* buffer) {
  if (!GST_BUFFER_PTS_IS_VALID(buffer) || segment.format != GST_FORMAT_TIME) return GST_CLOCK_TIME_NONE;
  guint64 time = 0;
  const int sign = gst_segment_to_stream_time_full(&segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer), &time);
  return sign > 0 ? time : sign < 0 ? 0 : GST_CLOCK_TIME_NONE;
}

}  // namespace

// Frames a seek decodes only to reach its target are not shown: those outside
// the segment, those before the asked frame's time (a picture whose duration
// reaches past the seek time by rounding is still the frame before), and when
// counting from the start, the first pictures. Called with samplerMutex_ held.
bool CDShowGraph::LetPictureThrough(GstBuffer* buffer) {
  if (GST_BUFFER_PTS_IS_VALID(buffer) && grabberSegment_.format == GST_FORMAT_TIME) {
    const guint64 start = GST_BUFFER_PTS(buffer);
    const guint64 stop = GST_BUFFER_DURATION_IS_VALID(buffer) ? start + GST_BUFFER_DURATION(buffer) : GST_CLOCK_TIME_NONE;
    if (!gst_segment_clip(&grabberSegment_, GST_FORMAT_TIME, start, stop, nullptr, nullptr)) return false;
  }
  if (activeGuard_.dropAtSegmentStart && GST_BUFFER_PTS_IS_VALID(buffer) && grabberSegment_.format == GST_FORMAT_TIME &&
      GST_BUFFER_PTS(buffer) == grabberSegment_.start)
    return false;
  const GstClockTime streamTime = StreamTimeOf(grabberSegment_, buffer);
  if (GST_CLOCK_TIME_IS_VALID(streamTime) && streamTime < activeGuard_.lowerBound) return false;
  if (picturesSinceFlush_++ < activeGuard_.skipPictures) return false;
  const int64_t passed = passedSinceFlush_++;
  if (passed == 0) firstPassedTime_ = streamTime;
  const bool timed = frameIndex_.HasTimes() && GST_CLOCK_TIME_IS_VALID(streamTime);
  currentFrame_ = timed ? frameIndex_.FrameAt(streamTime) : activeGuard_.firstFrame + passed;
  return true;
}

bool CDShowGraph::HandleGrabberBuffer(GstPadProbeInfo* info) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer) return true;
  std::lock_guard lock(samplerMutex_);
  if (!LetPictureThrough(buffer)) return false;
  if (!sampler_) return true;
  buffer = gst_buffer_make_writable(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) return true;
  MediaSample sample;
  sample.data = map.data;
  sample.size = map.size;
  double seconds = 0.0;
  if (GST_BUFFER_PTS_IS_VALID(buffer)) {
    sample.hasTime = true;
    sample.startTime = To100ns(GST_BUFFER_PTS(buffer));
    sample.endTime = sample.startTime + (GST_BUFFER_DURATION_IS_VALID(buffer) ? To100ns(GST_BUFFER_DURATION(buffer)) : 0);
    seconds = static_cast<double>(GST_BUFFER_PTS(buffer)) / GST_SECOND;
    if (live_) sample.captureMs = CaptureMomentMs(GST_BUFFER_PTS(buffer), grabberSegment_);
  }
  sampler_->SampleCB(seconds, sample);
  gst_buffer_unmap(buffer, &map);
  ++framesGrabbed_;
  return true;
}

// ---- Renderer --------------------------------------------------------------

HRESULT CDShowGraph::InitVMR9(CVideoWindow* window) {
  std::lock_guard lock(renderMutex_);
  window_ = window;
  return S_OK;
}

HRESULT CDShowGraph::InitialiseFrameSampler() { return S_OK; }

HRESULT CDShowGraph::SetVideoPosition(const VideoRect*, const VideoRect* destination) {
  if (!destination) return E_POINTER;
  std::lock_guard lock(renderMutex_);
  destination_ = *destination;
  return S_OK;
}

HRESULT CDShowGraph::RepaintVideo(CVideoWindow* window) {
  if (!window) return E_POINTER;
  const cv::Mat frame = GetRenderedFrame();
  if (frame.empty()) return S_FALSE;
  window->PresentFrame(frame);
  return S_OK;
}

namespace {

// A deep copy of a BGR sample's picture; empty when it is not one.
cv::Mat CopySamplePicture(GstSample* sample) {
  if (!sample) return {};
  const MediaType type = MediaTypeFromCaps(gst_sample_get_caps(sample));
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!type.valid || !buffer) return {};
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return {};
  cv::Mat copy;
  if (map.size >= static_cast<size_t>(type.stride) * type.height)
    copy = cv::Mat(type.height, type.width, CV_8UC3, map.data, type.stride).clone();
  gst_buffer_unmap(buffer, &map);
  return copy;
}

}  // namespace

cv::Mat CDShowGraph::GetRenderedFrame() const {
  std::lock_guard lock(renderMutex_);
  return CopySamplePicture(rendered_.get());
}

GstFlowReturn CDShowGraph::OnRendererSample(GstAppSink* sink, gpointer self) {
  SamplePtr sample{gst_app_sink_pull_sample(sink)};
  if (sample) static_cast<CDShowGraph*>(self)->StoreRendered(std::move(sample));
  return GST_FLOW_OK;
}

GstFlowReturn CDShowGraph::OnRendererPreroll(GstAppSink* sink, gpointer self) {
  SamplePtr sample{gst_app_sink_pull_preroll(sink)};
  if (sample) static_cast<CDShowGraph*>(self)->StoreRendered(std::move(sample));
  return GST_FLOW_OK;
}

// The renderer keeps a reference to the newest sample (as a video sink keeps
// its last frame); a copy is made only for a window or on request.
void CDShowGraph::StoreRendered(SamplePtr sample) {
  std::lock_guard lock(renderMutex_);
  rendered_ = std::move(sample);
  if (!window_ || !window_->WantsFrames()) return;
  const cv::Mat copy = CopySamplePicture(rendered_.get());
  if (copy.empty()) return;
  // The renderer's own segment: the grabber's belongs to another thread.
  double captureMs = -1.0;
  GstBuffer* buffer = gst_sample_get_buffer(rendered_.get());
  const GstSegment* segment = gst_sample_get_segment(rendered_.get());
  if (live_ && buffer && segment && GST_BUFFER_PTS_IS_VALID(buffer))
    captureMs = CaptureMomentMs(GST_BUFFER_PTS(buffer), *segment);
  window_->PresentFrameAt(copy, captureMs);
}

// ---- Bus and states --------------------------------------------------------

GstBusSyncReply CDShowGraph::OnBusMessage(GstBus*, GstMessage* message, gpointer self) {
  auto* graph = static_cast<CDShowGraph*>(self);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
      GError* raw = nullptr;
      gst_message_parse_error(message, &raw, nullptr);
      ErrorPtr error{raw};
      std::lock_guard lock(graph->busMutex_);
      if (graph->lastError_.empty()) graph->lastError_ = error && error->message ? error->message : "media error";
      break;
    }
    case GST_MESSAGE_EOS: {
      std::lock_guard lock(graph->busMutex_);
      graph->endOfStream_ = true;
      break;
    }
    default:
      break;
  }
  graph->busChanged_.notify_all();
  return GST_BUS_DROP;
}

void CDShowGraph::ResetBusState() {
  std::lock_guard lock(busMutex_);
  lastError_.clear();
  endOfStream_ = false;
  recordingEnded_ = false;
}

std::string CDShowGraph::LastError() const {
  std::lock_guard lock(busMutex_);
  return lastError_;
}

HRESULT CDShowGraph::ChangeState(GstState state) {
  if (!pipeline_) return E_UNEXPECTED;
  GstState current = GST_STATE_NULL;
  gst_element_get_state(pipeline_.get(), &current, nullptr, 0);
  if (current <= GST_STATE_READY && state >= GST_STATE_PAUSED) ResetBusState();
  // A graph that stops starts again from its first picture: no seek guard.
  if (state <= GST_STATE_READY) {
    std::lock_guard lock(samplerMutex_);
    pendingGuard_ = activeGuard_ = SeekGuard{};
  }
  const GstStateChangeReturn result = gst_element_set_state(pipeline_.get(), state);
  if (result == GST_STATE_CHANGE_FAILURE) return E_FAIL;
  if (result == GST_STATE_CHANGE_NO_PREROLL) live_ = true;
  if (result != GST_STATE_CHANGE_ASYNC) return S_OK;
  return WaitForState(state);
}

HRESULT CDShowGraph::WaitForState(GstState) {
  const auto deadline = std::chrono::steady_clock::now() + kStateTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const GstStateChangeReturn result = gst_element_get_state(pipeline_.get(), nullptr, nullptr, kPollInterval);
    if (result == GST_STATE_CHANGE_SUCCESS || result == GST_STATE_CHANGE_NO_PREROLL) return S_OK;
    if (result == GST_STATE_CHANGE_FAILURE || !LastError().empty()) return E_FAIL;
  }
  return E_TIMEOUT;
}

HRESULT CDShowGraph::Run() { return ChangeState(GST_STATE_PLAYING); }

bool CDShowGraph::IsStopped() const { return !pipeline_ || GST_STATE_TARGET(pipeline_.get()) <= GST_STATE_READY; }

HRESULT CDShowGraph::Pause() { return ChangeState(GST_STATE_PAUSED); }

HRESULT CDShowGraph::Stop() {
  if (!pipeline_) return E_UNEXPECTED;
  if (recording_) FinishRecording();
  return ChangeState(GST_STATE_NULL);
}

// ---- Seeking ---------------------------------------------------------------

HRESULT CDShowGraph::GetCurrentPosition(int64_t* position) const {
  if (!position) return E_POINTER;
  gint64 value = 0;
  if (!pipeline_ || !gst_element_query_position(pipeline_.get(), GST_FORMAT_TIME, &value) || value < 0) return E_FAIL;
  *position = value / 100;
  return S_OK;
}

HRESULT CDShowGraph::GetDuration(int64_t* duration) const {
  if (!duration) return E_POINTER;
  gint64 value = 0;
  if (!pipeline_ || !gst_element_query_duration(pipeline_.get(), GST_FORMAT_TIME, &value) || value < 0) return E_FAIL;
  *duration = value / 100;
  return S_OK;
}

HRESULT CDShowGraph::GetFrameRate(double* framesPerSecond) const {
  if (!framesPerSecond) return E_POINTER;
  std::lock_guard lock(samplerMutex_);
  if (!grabberType_.valid || grabberType_.fpsNumerator <= 0) return E_FAIL;
  *framesPerSecond = static_cast<double>(grabberType_.fpsNumerator) / grabberType_.fpsDenominator;
  return S_OK;
}

HRESULT CDShowGraph::GetFrameCount(int64_t* frames) const {
  if (!frames) return E_POINTER;
  if (frameIndex_.Count() <= 0) return E_FAIL;
  *frames = frameIndex_.Count();
  return S_OK;
}

HRESULT CDShowGraph::GetFrameTime(int64_t frame, int64_t* time) const {
  if (!time) return E_POINTER;
  if (!frameIndex_.HasTimes()) return E_FAIL;
  if (frame < 0 || frame >= frameIndex_.Count()) return E_INVALIDARG;
  *time = To100ns(frameIndex_.TimeOf(frame));
  return S_OK;
}

void CDShowGraph::SetFrameIndex(CFrameIndex index) {
  std::lock_guard lock(samplerMutex_);
  frameIndex_ = std::move(index);
}

HRESULT CDShowGraph::SeekToFrame(int64_t frame) {
  if (!pipeline_) return E_UNEXPECTED;
  if (frame < 0 || (frameIndex_.Count() > 0 && frame >= frameIndex_.Count())) return E_INVALIDARG;
  if (frameIndex_.GetOrigin() == CFrameIndex::Origin::kNone) return E_FAIL;
  if (frameIndex_.HasTimes()) {
    for (SeekMethod method : {SeekMethod::kAccurate, SeekMethod::kFromKeyFrame}) {
      const HRESULT hr = SeekAndCheck(frame, method);
      if (hr == S_OK || Failed(hr)) return hr;
    }
  }
  const HRESULT hr = SeekAndCheck(frame, SeekMethod::kCountFromStart);
  return hr == S_OK ? S_OK : E_FAIL;
}

// One attempt: S_OK when the asked picture arrived, S_FALSE when another did.
HRESULT CDShowGraph::SeekAndCheck(int64_t frame, SeekMethod method) {
  SeekGuard guard;
  GstClockTime start = 0;
  auto flags = GST_SEEK_FLAG_FLUSH;
  switch (method) {
    case SeekMethod::kAccurate:
      // Asking for the time halfway before the picture: a decoder keeps a
      // picture whose (rounded) duration reaches past the seek time and stamps
      // it with that time, which no real picture then has.
      guard.lowerBound = frameIndex_.LowerBound(frame);
      guard.dropAtSegmentStart = frame > 0;
      start = frame > 0 ? guard.lowerBound : frameIndex_.TimeOf(0);
      flags = static_cast<GstSeekFlags>(flags | GST_SEEK_FLAG_ACCURATE);
      break;
    case SeekMethod::kFromKeyFrame:
      guard.lowerBound = frameIndex_.LowerBound(frame);
      start = frameIndex_.TimeOf(frameIndex_.KeyFrameAtOrBefore(frame));
      flags = static_cast<GstSeekFlags>(flags | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_SNAP_BEFORE);
      break;
    case SeekMethod::kCountFromStart:
      guard.skipPictures = frame;
      guard.firstFrame = frame;
      break;
  }
  {
    std::lock_guard lock(samplerMutex_);
    pendingGuard_ = guard;
  }
  endOfStream_ = false;
  if (!gst_element_seek(pipeline_.get(), 1.0, GST_FORMAT_TIME, flags, GST_SEEK_TYPE_SET, static_cast<gint64>(start),
                        GST_SEEK_TYPE_NONE, -1))
    return E_FAIL;
  const HRESULT hr = WaitForState(GST_STATE_PAUSED);
  if (Failed(hr)) return hr;
  return ArrivedAt(frame, method) ? S_OK : S_FALSE;
}

// The first picture after the seek is the one asked for. A graph that is
// running may report its state before the picture got through, so wait for
// it a little.
bool CDShowGraph::ArrivedAt(int64_t frame, SeekMethod method) const {
  const auto deadline = std::chrono::steady_clock::now() + kPictureTimeout;
  while (passedSinceFlush_ == 0 && !endOfStream_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (passedSinceFlush_ == 0) return false;
  if (method == SeekMethod::kCountFromStart) return true;
  const GstClockTime arrived = firstPassedTime_;
  return GST_CLOCK_TIME_IS_VALID(arrived) && frameIndex_.FrameAt(arrived) == frame;
}

// ---- Recording -------------------------------------------------------------

HRESULT CDShowGraph::SetUpRecording(const std::string& aviPath, int compressorIndex, bool noClock, RecordingFailure* failure) {
  RecordingFailure ignored;
  if (!failure) failure = &ignored;
  *failure = RecordingFailure::kNone;
  if (!pipeline_ || !grabber_ || !renderer_) return E_UNEXPECTED;
  if (recording_) FinishRecording();
  ChangeState(GST_STATE_NULL);

  PadPtr grabberPin;
  if (Failed(GetPin(grabber_.get(), PINDIR_OUTPUT, &grabberPin))) {
    *failure = RecordingFailure::kGrabberPin;
    return E_FAIL;
  }
  NukeGraphSegment(pipeline_.get(), grabber_.get(), renderer_.get());
  ElementPtr tee;
  if (Failed(AddFilterByCLSID(pipeline_.get(), "tee", "Smart Tee", &tee))) {
    *failure = RecordingFailure::kSmartTee;
    return E_FAIL;
  }
  if (Failed(ConnectFilters(pipeline_.get(), grabber_.get(), tee.get()))) {
    *failure = RecordingFailure::kConnectTee;
    return E_FAIL;
  }
  PadPtr capturePin;
  if (Failed(GetUnconnectedPin(tee.get(), PINDIR_OUTPUT, &capturePin))) {
    *failure = RecordingFailure::kConnectMux;
    return E_FAIL;
  }
  const HRESULT hr = AddRecordingOutput(aviPath, compressorIndex, capturePin.get(), failure);
  if (Failed(hr)) return hr;

  PadPtr previewPin;
  ElementPtr previewQueue;
  if (Failed(GetUnconnectedPin(tee.get(), PINDIR_OUTPUT, &previewPin)) ||
      Failed(AddFilterByCLSID(pipeline_.get(), "queue", "Preview Queue", &previewQueue)) ||
      Failed(ConnectFilters(pipeline_.get(), previewPin.get(), previewQueue.get())) ||
      Failed(ConnectFilters(pipeline_.get(), previewQueue.get(), renderer_.get()))) {
    *failure = RecordingFailure::kPreview;
    return E_FAIL;
  }
  if (noClock) {
    gst_pipeline_use_clock(GST_PIPELINE(pipeline_.get()), nullptr);
    g_object_set(renderer_.get(), "sync", FALSE, nullptr);
  }
  recording_ = true;
  return S_OK;
}

HRESULT CDShowGraph::AddRecordingOutput(const std::string& aviPath, int compressorIndex, GstPad* capturePin,
                                        RecordingFailure* failure) {
  ElementPtr mux, writer, queue;
  if (Failed(AddFilterByCLSID(pipeline_.get(), "avimux", "AVI Mux", &mux)) ||
      Failed(AddFilterByCLSID(pipeline_.get(), "filesink", "File Writer", &writer))) {
    *failure = RecordingFailure::kCaptureFile;
    return E_FAIL;
  }
  g_object_set(writer.get(), "location", aviPath.c_str(), "async", FALSE, nullptr);
  if (Failed(ConnectFilters(pipeline_.get(), mux.get(), writer.get()))) {
    *failure = RecordingFailure::kCaptureFile;
    return E_FAIL;
  }
  PadPtr writerInput{gst_element_get_static_pad(writer.get(), "sink")};
  if (writerInput)
    gst_pad_add_probe(writerInput.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &CDShowGraph::OnRecordingEnd, this, nullptr);

  if (Failed(AddFilterByCLSID(pipeline_.get(), "queue", "Capture Queue", &queue)) ||
      Failed(ConnectFilters(pipeline_.get(), capturePin, queue.get()))) {
    *failure = RecordingFailure::kConnectMux;
    return E_FAIL;
  }
  GstElement* intoMux = queue.get();
  ElementPtr compressor, converter;
  if (compressorIndex > 0) {
    if (Failed(GetCompressor(compressorIndex - 1, &compressor))) {
      *failure = RecordingFailure::kFetchCompressor;
      return E_FAIL;
    }
    gst_object_set_name(GST_OBJECT(compressor.get()), "Compression Filter");
    if (!gst_bin_add(GST_BIN(pipeline_.get()), compressor.get())) {
      *failure = RecordingFailure::kAddCompressor;
      return E_FAIL;
    }
    // Encoders take their own raw formats; the converter picks one.
    if (Succeeded(AddFilterByCLSID(pipeline_.get(), "videoconvert", "Compressor Converter", &converter))) {
      ConnectFilters(pipeline_.get(), queue.get(), converter.get());
      ConnectFilters(pipeline_.get(), converter.get(), compressor.get());
    }
    intoMux = compressor.get();
  }
  if (Failed(ConnectFilters(pipeline_.get(), intoMux, mux.get()))) {
    *failure = RecordingFailure::kConnectMux;
    return E_FAIL;
  }
  return S_OK;
}

GstPadProbeReturn CDShowGraph::OnRecordingEnd(GstPad*, GstPadProbeInfo* info, gpointer self) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (event && GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
    auto* graph = static_cast<CDShowGraph*>(self);
    {
      std::lock_guard lock(graph->busMutex_);
      graph->recordingEnded_ = true;
    }
    graph->busChanged_.notify_all();
  }
  return GST_PAD_PROBE_OK;
}

// avimux writes its index and final headers only when the stream ends, so a
// recording is ended by an end-of-stream at the tee rather than by a plain
// stop, which would leave a file without index.
HRESULT CDShowGraph::FinishRecording() {
  GstState current = GST_STATE_NULL;
  gst_element_get_state(pipeline_.get(), &current, nullptr, 0);
  if (current < GST_STATE_PAUSED || recordingEnded_) return S_OK;
  PadPtr grabberOutput{gst_element_get_static_pad(grabber_.get(), "src")};
  PadPtr teeInput{grabberOutput ? gst_pad_get_peer(grabberOutput.get()) : nullptr};
  if (!teeInput) return E_FAIL;
  // Everything downstream must be running for the final headers to reach the file.
  gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
  gst_pad_send_event(teeInput.get(), gst_event_new_eos());
  std::unique_lock lock(busMutex_);
  const bool ended = busChanged_.wait_for(lock, kFinishTimeout, [this] { return recordingEnded_.load() || !lastError_.empty(); });
  return ended && recordingEnded_ ? S_OK : E_TIMEOUT;
}

}  // namespace DShow
