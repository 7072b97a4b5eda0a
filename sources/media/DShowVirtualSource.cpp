// The virtual rig's capture devices: an appsrc fed by a board renderer. Each
// frame is rendered ahead for its due tick (a multiple of the frame period on
// the monotonic clock) and pushed when that tick comes, so the frame reaches
// the sampler at about the moment it shows.

#include <gst/app/gstappsrc.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "synth/BoardRenderer.h"
#include "sources/media/DShow.h"

namespace DShow {

namespace {

using Clock = std::chrono::steady_clock;

double NowMs() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

class VirtualCameraFeed {
 public:
  VirtualCameraFeed(const VirtualRig& rig, RigSide side)
      : rig_(rig), side_(side), renderer_(rig.Camera(side)), period_(rig.FramePeriodMs()) {}

  static void OnNeedData(GstAppSrc* source, guint, gpointer self) {
    static_cast<VirtualCameraFeed*>(self)->Feed(source);
  }
  static void Destroy(gpointer self) { delete static_cast<VirtualCameraFeed*>(self); }

 private:
  // The next frame slot after `ms`.
  int64_t SlotAfter(double ms) const { return static_cast<int64_t>(std::floor(ms / period_)) + 1; }

  void Feed(GstAppSrc* source) {
    if (!ready_) Prepare(SlotAfter(NowMs()));
    std::this_thread::sleep_until(Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(readySlot_ * period_))));
    StampWithSlot(source, ready_);
    gst_app_src_push_buffer(source, ready_);  // takes the buffer
    ready_ = nullptr;
    Prepare(NextFrameSlot(readySlot_, SlotAfter(NowMs())));
  }

  // The buffer's time is its slot's moment on the pipeline clock (the
  // monotonic clock), however late the push comes. The slot is also its frame
  // number, as a camera driver numbers its frames: a skipped slot counts as a
  // dropped frame.
  void StampWithSlot(GstAppSrc* source, GstBuffer* buffer) const {
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(source));
    const auto slotNs = static_cast<GstClockTime>(std::llround(readySlot_ * period_ * 1e6));
    GST_BUFFER_PTS(buffer) = slotNs > base ? slotNs - base : 0;
    GST_BUFFER_OFFSET(buffer) = static_cast<guint64>(readySlot_);
  }

  void Prepare(int64_t slot) {
    const cv::Mat frame =
        renderer_.Render(BoardPoseAt(rig_, side_, slot * period_), rig_.grid, FrameRenderOptions(rig_, side_, slot));
    const int stride = (frame.cols * 3 + 3) & ~3;  // GStreamer's BGR rows are 4-byte aligned
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, static_cast<gsize>(stride) * frame.rows, nullptr);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
      for (int row = 0; row < frame.rows; ++row) {
        std::memcpy(map.data + static_cast<size_t>(row) * stride, frame.ptr(row), static_cast<size_t>(frame.cols) * 3);
        std::memset(map.data + static_cast<size_t>(row) * stride + frame.cols * 3, 0, stride - frame.cols * 3);
      }
      gst_buffer_unmap(buffer, &map);
    }
    GST_BUFFER_DURATION(buffer) = static_cast<GstClockTime>(period_ * GST_MSECOND);
    ready_ = buffer;
    readySlot_ = slot;
  }

  VirtualRig rig_;
  RigSide side_;
  BoardRenderer renderer_;
  double period_;
  GstBuffer* ready_ = nullptr;
  int64_t readySlot_ = 0;

 public:
  ~VirtualCameraFeed() {
    if (ready_) gst_buffer_unref(ready_);
  }
};

}  // namespace

bool VirtualRigSideOf(const std::string& deviceName, RigSide& side) {
  if (deviceName == kVirtualLeftName) side = RigSide::kLeft;
  else if (deviceName == kVirtualRightName) side = RigSide::kRight;
  else return false;
  return true;
}

HRESULT CreateVirtualCameraSource(const VirtualRig& rig, RigSide side, ElementPtr* element) {
  if (!element) return E_POINTER;
  EnsureGstInitialised();
  ElementPtr made = AdoptFloating(gst_element_factory_make("appsrc", nullptr));
  if (!made) return E_FAIL;
  const SyntheticCamera& camera = rig.Camera(side);
  CapsPtr caps{gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT, camera.width,
                                   "height", G_TYPE_INT, camera.height, "framerate", GST_TYPE_FRACTION,
                                   rig.fpsNumerator, rig.fpsDenominator, nullptr)};
  g_object_set(made.get(), "caps", caps.get(), "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", FALSE,
               "max-buffers", guint64{2}, nullptr);
  GstAppSrcCallbacks callbacks{};
  callbacks.need_data = &VirtualCameraFeed::OnNeedData;
  gst_app_src_set_callbacks(GST_APP_SRC(made.get()), &callbacks, new VirtualCameraFeed(rig, side),
                            &VirtualCameraFeed::Destroy);
  *element = std::move(made);
  return S_OK;
}

}  // namespace DShow
