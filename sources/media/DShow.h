#pragma once
// Media graphs of the in-house library, built on GStreamer.
//
// A graph is one pipeline: a source part (a decoded video file or a capture
// device), then always the same preview chain
//
//   ... ! videoconvert ! capsfilter(BGR) ! "Sample Grabber" ! "Video Renderer"
//
// The sample grabber is an identity element whose output pad calls the
// installed frame sampler for every frame on the streaming thread, with a
// writable top-down 24-bit BGR buffer (rows padded to 4 bytes). The video
// renderer is an appsink that keeps the newest frame and tells the video
// window about it. A recording branch replaces the grabber-renderer link by
// a tee with a queue per branch: one branch through an optional encoder into
// avimux and a file, the other to the renderer.
//
// Results follow the HRESULT convention: negative on failure. No call aborts
// or throws on a media error; the graph keeps the first error text.

#include <gst/gst.h>

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sources/media/DShowFrameIndex.h"
#include "sources/media/DShowGst.h"
#include "sources/media/VirtualRig.h"

typedef struct _GstAppSink GstAppSink;

namespace DShow {

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_TIMEOUT = static_cast<HRESULT>(0x800705B4u);
inline bool Failed(HRESULT hr) { return hr < 0; }
inline bool Succeeded(HRESULT hr) { return hr >= 0; }

// The connected format of the grabber's input.
struct MediaType {
  bool valid = false;
  int width = 0;
  int height = 0;
  int stride = 0;        // bytes per row
  bool topDown = true;   // GStreamer frames are always stored top-down
  int fpsNumerator = 0;  // 0 when unknown or variable
  int fpsDenominator = 1;
};

// One frame handed to a frame sampler. Times are in 100 ns units.
struct MediaSample {
  uint8_t* data = nullptr;
  size_t size = 0;
  bool hasTime = false;
  int64_t startTime = 0;
  int64_t endTime = 0;
  // Live graphs: the moment the frame was captured, by its timestamp on the
  // pipeline clock, in milliseconds of the steady clock (MillisecondTick's
  // clock, with fractions); -1 when unknown.
  double captureMs = -1.0;
  HRESULT GetTime(int64_t* start, int64_t* end) const;
};

// The per-frame callback object of the sample grabber. Lifetime is managed by
// the graph that holds it, so reference counting does nothing.
class CFrameSampler {
 public:
  virtual ~CFrameSampler() = default;
  unsigned long AddRef() { return 1; }
  unsigned long Release() { return 1; }

  void SetMediaType(const MediaType& type);
  MediaType GetMediaType() const;

  // Called on the streaming thread for every frame; `sampleTime` in seconds.
  virtual HRESULT SampleCB(double sampleTime, MediaSample& sample) = 0;
  HRESULT BufferCB(double, uint8_t*, long) { return E_NOTIMPL; }

 private:
  mutable std::mutex typeMutex_;
  MediaType mediaType_;
};

// Where the renderer's frames go; implemented by the control's video view.
class CVideoWindow {
 public:
  virtual ~CVideoWindow() = default;
  // Called on the streaming thread with a copy of the newest frame (BGR,
  // top-down). Implementations queue it to their own thread.
  virtual void PresentFrame(const cv::Mat& frame) = 0;
  // The same with the moment a live frame was captured (MillisecondTick's
  // clock, -1 when unknown), for windows that pair frames of two cameras.
  virtual void PresentFrameAt(const cv::Mat& frame, double /*captureMs*/) { PresentFrame(frame); }
  // Streaming thread: false while nobody can see the frames (the window is
  // hidden), so no copy is made for it.
  virtual bool WantsFrames() const { return true; }
};

struct VideoRect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// Which step of building a recording branch failed.
enum class RecordingFailure {
  kNone,
  kGrabberPin,      // no output of the sample grabber
  kSmartTee,        // the tee could not be added
  kConnectTee,      // grabber -> tee
  kCaptureFile,     // avimux + filesink could not be added
  kFetchCompressor, // no compressor with that index
  kAddCompressor,   // the compressor could not be added
  kConnectMux,      // capture pin (or compressor) -> avimux
  kPreview,         // tee -> renderer
  kNullClock,       // kept for the callers' message table; a pipeline can always drop its clock
};

class CDShowGraph {
 public:
  explicit CDShowGraph(CVideoWindow* window = nullptr);
  virtual ~CDShowGraph();
  CDShowGraph(const CDShowGraph&) = delete;
  CDShowGraph& operator=(const CDShowGraph&) = delete;

  // Virtuals in the order the controls call them.
  virtual HRESULT InitVMR9(CVideoWindow* window);
  virtual HRESULT InitialiseFrameSampler();  // base: installs none
  virtual HRESULT SetVideoPosition(const VideoRect* source, const VideoRect* destination);
  virtual HRESULT RepaintVideo(CVideoWindow* window);
  // State changes wait (bounded) until the graph got there; a file graph
  // pauses on a shown frame. Stop ends a recording by finishing its file,
  // then releases the streams.
  virtual HRESULT Run();
  virtual HRESULT Pause();
  virtual HRESULT Stop();

  // Replaces the graph's frame sampler (the graph owns it). Safe while frames
  // flow: the swap waits for a running callback to return.
  void SetFrameSampler(std::unique_ptr<CFrameSampler> sampler);

  // Seeking, all positions in 100 ns units.
  HRESULT GetCurrentPosition(int64_t* position) const;
  HRESULT GetDuration(int64_t* duration) const;
  HRESULT GetFrameRate(double* framesPerSecond) const;
  // The number of pictures the file's decoder gives (from the frame index).
  HRESULT GetFrameCount(int64_t* frames) const;
  // Moves to frame `frame` (0-based, the k-th picture in presentation order)
  // and waits until it reached the sample grabber. The seek asks for the
  // picture's own time from the frame index and checks the picture that
  // arrives; when that is not the one asked for, it decodes forward from the
  // key frame before it, and at last from the start, counting pictures.
  // E_INVALIDARG for a frame past the end.
  HRESULT SeekToFrame(int64_t frame);
  // The frame the sample grabber passed last (the one shown), -1 when unknown.
  int64_t GetCurrentFrame() const { return currentFrame_.load(); }
  // Presentation time of `frame` in 100 ns units; E_FAIL where the index has no times.
  HRESULT GetFrameTime(int64_t frame, int64_t* time) const;
  const CFrameIndex& FrameIndex() const { return frameIndex_; }

  // Replaces the grabber -> renderer link by a tee that also feeds an AVI
  // file. compressorIndex 0 writes raw BGR, k > 0 uses GetCompressor(k - 1).
  // With noClock the graph runs as fast as it can. The graph is stopped and
  // stays so until Run. `failure` tells which step failed.
  HRESULT SetUpRecording(const std::string& aviPath, int compressorIndex, bool noClock, RecordingFailure* failure);
  bool IsRecording() const { return recording_; }
  // True when the graph was stopped (or never started): no stream runs and,
  // with a recording branch, no file is open.
  bool IsStopped() const;

  // Access for the owner.
  GstElement* GetFilterGraph() const { return pipeline_.get(); }
  GstElement* GetSampleGrabber() const { return grabber_.get(); }
  GstElement* GetVideoRenderer() const { return renderer_.get(); }
  GstElement* GetCaptureFilter() const { return source_.get(); }
  cv::Mat GetRenderedFrame() const;  // deep copy, empty before the first frame
  uint64_t FramesGrabbed() const { return framesGrabbed_.load(); }

  // Bus state: the first error text ("" when none) and whether the stream ended.
  std::string LastError() const;
  bool ReachedEnd() const { return endOfStream_.load(); }

 protected:
  // Creates the pipeline with its bus handler, and the preview chain
  // (converter, format filter, grabber, renderer), linked in that order.
  HRESULT CreatePipeline();
  HRESULT BuildPreviewChain();
  // Makes `element` the sample grabber: its output calls the frame sampler.
  void AttachSampleGrabber(GstElement* element);
  HRESULT ChangeState(GstState state);
  HRESULT WaitForState(GstState state);
  void ResetBusState();
  void TearDown();
  GstElement* ConvertElement() const { return convert_.get(); }
  // Takes the preview chain (converter to renderer) out of the graph.
  void RemovePreviewChain();
  void SetSource(ElementPtr source) { source_ = std::move(source); }
  // A file graph's index; capture graphs have none and do not seek.
  void SetFrameIndex(CFrameIndex index);

  ElementPtr pipeline_;
  ElementPtr source_;
  bool recording_ = false;
  bool live_ = false;

 private:
  static GstPadProbeReturn OnGrabberProbe(GstPad* pad, GstPadProbeInfo* info, gpointer self);
  static GstBusSyncReply OnBusMessage(GstBus* bus, GstMessage* message, gpointer self);
  static GstFlowReturn OnRendererSample(GstAppSink* sink, gpointer self);
  static GstFlowReturn OnRendererPreroll(GstAppSink* sink, gpointer self);
  static GstPadProbeReturn OnRecordingEnd(GstPad* pad, GstPadProbeInfo* info, gpointer self);
  void DetachGrabberProbe();
  void HandleGrabberCaps(GstCaps* caps);
  bool HandleGrabberBuffer(GstPadProbeInfo* info);  // false: drop the picture
  double CaptureMomentMs(GstClockTime pts, const GstSegment& segment) const;
  void StoreRendered(SamplePtr sample);
  HRESULT FinishRecording();

  // How the pictures after a seek's flush are let through to the renderer.
  struct SeekGuard {
    GstClockTime lowerBound = 0;  // stream times before it belong to earlier frames
    int64_t skipPictures = 0;     // pictures to drop first (counting from the start)
    int64_t firstFrame = 0;       // number of the first picture let through, when counting
    bool dropAtSegmentStart = false;  // the segment starts between two pictures
  };
  enum class SeekMethod { kAccurate, kFromKeyFrame, kCountFromStart };
  HRESULT SeekAndCheck(int64_t frame, SeekMethod method);
  bool ArrivedAt(int64_t frame, SeekMethod method) const;
  // Probe side: whether the picture goes on, and the bookkeeping of the one shown.
  bool LetPictureThrough(GstBuffer* buffer);
  void RestartPictureCount();
  HRESULT AddRecordingOutput(const std::string& aviPath, int compressorIndex, GstPad* capturePin,
                             RecordingFailure* failure);

  ElementPtr convert_;
  ElementPtr capsFilter_;
  ElementPtr grabber_;
  ElementPtr renderer_;
  gulong grabberProbe_ = 0;

  mutable std::mutex samplerMutex_;
  std::unique_ptr<CFrameSampler> sampler_;
  GstSegment grabberSegment_{};
  std::atomic<uint64_t> framesGrabbed_{0};

  mutable std::mutex renderMutex_;
  SamplePtr rendered_;
  CVideoWindow* window_ = nullptr;
  VideoRect destination_{};

  mutable std::mutex busMutex_;
  std::condition_variable busChanged_;
  std::string lastError_;
  std::atomic<bool> endOfStream_{false};
  std::atomic<bool> recordingEnded_{false};
  MediaType grabberType_;  // guarded by samplerMutex_

  CFrameIndex frameIndex_;
  // Guarded by samplerMutex_: the guard a seek asks for becomes active at its flush.
  SeekGuard pendingGuard_;
  SeekGuard activeGuard_;
  int64_t picturesSinceFlush_ = 0;
  std::atomic<int64_t> passedSinceFlush_{0};
  std::atomic<GstClockTime> firstPassedTime_{GST_CLOCK_TIME_NONE};
  std::atomic<int64_t> currentFrame_{-1};
};

// A video file: filesrc ! decodebin, its first video stream into the
// preview chain; other streams end in fakesinks.
class CDShowFileGraph : public CDShowGraph {
 public:
  explicit CDShowFileGraph(CVideoWindow* window = nullptr) : CDShowGraph(window) {}
  // Opens the file and waits paused on its first frame.
  virtual HRESULT OpenMediaFile(const std::string& path);
  // Without a recording branch Stop keeps the position and the shown frame
  // (the graph pauses); with one it finishes the file.
  HRESULT Stop() override;

 private:
  static void OnDecodedPad(GstElement* decoder, GstPad* pad, gpointer self);
  void LinkDecodedPad(GstPad* pad);
  bool videoLinked_ = false;
};

// Frames missing from a numbered frame stream. A capture device numbers the
// frames it captured (V4L2 passes on the driver's sequence), so a jump of
// the number by k > 1 means k - 1 frames were dropped before they reached
// the graph. A frame without a number makes the count unknown; a number
// that goes back means the device started again.
class DroppedFrameCounter {
 public:
  static constexpr uint64_t kNoNumber = UINT64_MAX;
  void Observe(uint64_t number);
  void Reset();
  // False while no numbered frame arrived or after an unnumbered one.
  bool Known() const;
  uint64_t Dropped() const;

 private:
  mutable std::mutex mutex_;
  bool seenAny_ = false;
  bool unnumbered_ = false;
  uint64_t last_ = 0;
  uint64_t dropped_ = 0;
};

// A live capture device (v4l2src, or videotestsrc as the test device).
class CDShowCaptureGraph : public CDShowGraph {
 public:
  explicit CDShowCaptureGraph(CVideoWindow* window = nullptr) : CDShowGraph(window) {}
  // `device` is the 1-based number in EnumVideoCaptureDevices order.
  virtual HRESULT ConnectToLiveSource(int device);
  // The connected device's name ("" before a connection).
  const std::string& DeviceName() const { return deviceName_; }
  // The format dialog is the control's; the library has none.
  virtual HRESULT ShowCaptureFilterProperties() { return E_NOTIMPL; }
  // The format the capture element delivers (before conversion).
  HRESULT GetCaptureFormat(MediaType* type) const;

  // Sizes and frame rates the device offers, for a format dialog. Devices
  // that take any size (the test device) offer a few common ones.
  HRESULT GetCaptureFormats(std::vector<MediaType>& formats);
  // Stops the graph and rebuilds everything after the capture element for
  // the wanted size and rate (0 leaves a value to the device), with a new
  // sample grabber and a new frame sampler (InitialiseFrameSampler). The
  // graph stays stopped; a recording branch is dropped.
  HRESULT SetCaptureFormat(const MediaType& wanted);

  // Frames the device dropped since the last ResetDroppedFrames (or the
  // connection); E_NOTIMPL when its frames carry no numbers to tell.
  HRESULT GetDroppedFrames(uint64_t* dropped) const;
  void ResetDroppedFrames() { dropped_.Reset(); }

 private:
  static GstPadProbeReturn OnCaptureBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);
  HRESULT BuildCaptureChain(const MediaType& wanted);
  ElementPtr formatFilter_;
  DroppedFrameCounter dropped_;
  std::string deviceName_;
};

// ---- Graph utilities -------------------------------------------------------

enum PinDirection { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum PinCategory { PIN_CATEGORY_CAPTURE = 0, PIN_CATEGORY_PREVIEW = 1 };

// Makes an element of the factory, named `name`, and adds it to the graph.
HRESULT AddFilterByCLSID(GstElement* graph, const char* factory, const char* name, ElementPtr* element);
// Links two elements, or an output pad to a compatible input of `to`.
HRESULT ConnectFilters(GstElement* graph, GstElement* from, GstElement* to);
HRESULT ConnectFilters(GstElement* graph, GstPad* output, GstElement* to);
// First pad of the direction, linked or not.
HRESULT GetPin(GstElement* element, PinDirection direction, PadPtr* pin);
// First pad of the direction that is not linked; a request pad is made when
// the element has none left but can make more (a tee's outputs).
HRESULT GetUnconnectedPin(GstElement* element, PinDirection direction, PadPtr* pin);
// The capture output of a source element; sources here have no separate
// preview output, so PIN_CATEGORY_PREVIEW finds nothing.
HRESULT FindCategoryPin(GstElement* element, PinCategory category, PinDirection direction, PadPtr* pin);
// Removes every element between `from` and `to` (both stay), unlinking them.
// The graph should be stopped.
HRESULT NukeGraphSegment(GstElement* graph, GstElement* from, GstElement* to);

// Video encoders (and motion JPEG image encoders) whose output avimux takes,
// highest rank first, then by name. The compressor list a
// dialog shows is "No compression" followed by these names.
inline constexpr const char* kNoCompressionName = "No compression";
HRESULT EnumVideoCompressors(std::vector<std::string>& names, size_t maxCount = SIZE_MAX, size_t maxChars = SIZE_MAX);
std::string GetCompressorFactoryName(int index);
// A new (unparented) encoder element for entry `index` (0-based) of that list.
HRESULT GetCompressor(int index, ElementPtr* compressor);

// Capture devices: GstDeviceMonitor "Video/Source", the two sides of the
// virtual rig, then the test-pattern device when LENTORA_TEST_DEVICE=1.
inline constexpr const char* kTestDeviceName = "Lentora Test Pattern";
HRESULT EnumVideoCaptureDevices(std::vector<std::string>& names, size_t maxCount = SIZE_MAX, size_t maxChars = SIZE_MAX);
// A new (unparented) source element for device `device` (1-based, same order).
// A virtual rig device follows LENTORA_VIRTUAL_RIG; a bad description fails
// with E_INVALIDARG and the reason in `problem` (when given).
HRESULT CreateVideoCaptureDevice(int device, ElementPtr* element, std::string* problem = nullptr);
// The side a device name stands for; false for any other device.
bool VirtualRigSideOf(const std::string& deviceName, RigSide& side);
// A live source of frames of the virtual rig's `side`.
HRESULT CreateVirtualCameraSource(const VirtualRig& rig, RigSide side, ElementPtr* element);

// "HH:MM:SS.mmm" of the graph's duration, "--:--:--.---" when unknown.
HRESULT GetDurationString(const CDShowGraph& graph, std::string& text);
std::string FormatDuration(int64_t duration100ns);

}  // namespace DShow
