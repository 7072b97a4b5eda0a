// The frame index: one pass over the file's first video stream, before the
// decoder (demux pass) or after it (decode pass).

#include "sources/media/DShowFrameIndex.h"

#include <algorithm>
#include <mutex>
#include <numeric>
#include <string_view>

#include "sources/media/DShowGst.h"

namespace DShow {

// ---- The index ---------------------------------------------------------------

void CFrameIndex::Assign(std::vector<GstClockTime> times, std::vector<bool> keyFrames, Origin origin) {
  times_ = std::move(times);
  keyFrames_ = std::move(keyFrames);
  keyFrames_.resize(times_.size(), false);
  count_ = static_cast<int64_t>(times_.size());
  origin_ = count_ > 0 ? origin : Origin::kNone;
}

void CFrameIndex::AssignCount(int64_t pictures) {
  times_.clear();
  keyFrames_.clear();
  count_ = std::max<int64_t>(0, pictures);
  origin_ = count_ > 0 ? Origin::kCounted : Origin::kNone;
}

void CFrameIndex::Clear() { AssignCount(0); }

GstClockTime CFrameIndex::LowerBound(int64_t frame) const {
  if (frame <= 0) return 0;
  return times_[frame - 1] + (times_[frame] - times_[frame - 1]) / 2;
}

GstClockTime CFrameIndex::UpperBound(int64_t frame) const {
  if (frame + 1 >= count_) return GST_CLOCK_TIME_NONE;
  return LowerBound(frame + 1);
}

int64_t CFrameIndex::FrameAt(GstClockTime time) const {
  if (!HasTimes() || !GST_CLOCK_TIME_IS_VALID(time)) return -1;
  // The first frame whose upper bound lies beyond `time`.
  int64_t low = 0, high = count_ - 1;
  while (low < high) {
    const int64_t middle = (low + high) / 2;
    if (time >= UpperBound(middle)) low = middle + 1;
    else high = middle;
  }
  return low;
}

int64_t CFrameIndex::KeyFrameAtOrBefore(int64_t frame) const {
  if (keyFrames_.empty()) return 0;
  for (int64_t k = std::min(frame, count_ - 1); k > 0; --k)
    if (keyFrames_[k]) return k;
  return 0;
}

// ---- Building it ---------------------------------------------------------------

namespace {

// Long files take a while to read; a stuck pass must still end.
constexpr GstClockTime kPassTimeout = 300 * GST_SECOND;

bool IsPictureCaps(GstCaps* caps) {
  if (!caps || gst_caps_get_size(caps) == 0) return false;
  const std::string_view name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  return name.starts_with("video/") || name.starts_with("image/");
}

// What one pass gathers from the video stream's pad.
struct PassState {
  bool demuxOnly = false;
  FeatureListPtr decoders;  // demux pass: the decoders whose input ends the autoplugging
  std::mutex mutex;
  bool videoLinked = false;
  GstSegment segment{};
  std::vector<GstClockTime> times;
  std::vector<bool> keyFrames;
  int64_t pictures = 0;
  int64_t untimed = 0;
};

// Records one packet or picture of the video stream.
void CountBuffer(PassState& state, GstBuffer* buffer) {
  if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER) || GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP) ||
      GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DECODE_ONLY))
    return;
  std::lock_guard lock(state.mutex);
  if (!GST_BUFFER_PTS_IS_VALID(buffer) || state.segment.format != GST_FORMAT_TIME) {
    ++state.untimed;
    ++state.pictures;
    return;
  }
  const GstClockTime pts = GST_BUFFER_PTS(buffer);
  // Outside the segment (an edit list cutting the start) is not shown.
  if (pts < state.segment.start || (GST_CLOCK_TIME_IS_VALID(state.segment.stop) && pts >= state.segment.stop)) return;
  ++state.pictures;
  state.times.push_back(gst_segment_to_stream_time(&state.segment, GST_FORMAT_TIME, pts));
  state.keyFrames.push_back(!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
}

GstPadProbeReturn OnPassProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto& state = *static_cast<PassState*>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) CountBuffer(state, buffer);
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (event && GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    std::lock_guard lock(state.mutex);
    if (segment) gst_segment_copy_into(segment, &state.segment);
  }
  return GST_PAD_PROBE_OK;
}

// Demux pass: stop autoplugging where a picture decoder would come next.
gboolean OnAutoplugContinue(GstElement*, GstPad*, GstCaps* caps, gpointer data) {
  auto& state = *static_cast<PassState*>(data);
  if (!state.demuxOnly || !IsPictureCaps(caps)) return TRUE;
  FeatureListPtr takers{gst_element_factory_list_filter(state.decoders.get(), caps, GST_PAD_SINK, FALSE)};
  return takers ? FALSE : TRUE;
}

// Every stream needs a sink; the first video stream's sink counts.
void OnPassPad(GstElement* decoder, GstPad* pad, gpointer data) {
  auto& state = *static_cast<PassState*>(data);
  GstElement* pipeline = GST_ELEMENT(gst_element_get_parent(decoder));
  if (!pipeline) return;
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  if (sink) {
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    PadPtr input{gst_element_get_static_pad(sink, "sink")};
    CapsPtr caps{gst_pad_get_current_caps(pad)};
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    bool counted = false;
    {
      std::lock_guard lock(state.mutex);
      counted = !state.videoLinked && IsPictureCaps(caps.get());
      if (counted) state.videoLinked = true;
    }
    if (counted) {
      const auto types = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM);
      gst_pad_add_probe(input.get(), types, &OnPassProbe, &state, nullptr);
    }
    if (input) gst_pad_link(pad, input.get());
  }
  gst_object_unref(pipeline);
}

// Plays the file through one pass as fast as it goes; false with a reason
// when it does not reach its end.
bool RunPass(const std::string& path, PassState& state, std::string& error) {
  ElementPtr pipeline = AdoptFloating(gst_pipeline_new("Frame Index"));
  ElementPtr source = AdoptFloating(gst_element_factory_make("filesrc", nullptr));
  ElementPtr decoder = AdoptFloating(gst_element_factory_make("decodebin", nullptr));
  if (!pipeline || !source || !decoder) {
    error = "GStreamer elements are missing";
    return false;
  }
  g_object_set(source.get(), "location", path.c_str(), nullptr);
  gst_bin_add_many(GST_BIN(pipeline.get()), source.get(), decoder.get(), nullptr);
  if (!gst_element_link(source.get(), decoder.get())) {
    error = "cannot read the file";
    return false;
  }
  g_signal_connect(decoder.get(), "autoplug-continue", G_CALLBACK(&OnAutoplugContinue), &state);
  g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(&OnPassPad), &state);
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  BusPtr bus{gst_element_get_bus(pipeline.get())};
  const auto ends = static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
  MessagePtr message{gst_bus_timed_pop_filtered(bus.get(), kPassTimeout, ends)};
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  if (message && GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS) return true;
  if (message) {
    GError* raw = nullptr;
    gst_message_parse_error(message.get(), &raw, nullptr);
    ErrorPtr failure{raw};
    error = failure && failure->message ? failure->message : "the file does not play";
  } else {
    error = "reading the file took too long";
  }
  return false;
}

// Presentation order, each time once (a key flag survives the merge).
void SortAndMerge(std::vector<GstClockTime>& times, std::vector<bool>& keyFrames) {
  std::vector<size_t> order(times.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return times[a] < times[b]; });
  std::vector<GstClockTime> sortedTimes;
  std::vector<bool> sortedKeys;
  for (size_t i : order) {
    if (!sortedTimes.empty() && sortedTimes.back() == times[i]) {
      sortedKeys.back() = sortedKeys.back() || keyFrames[i];
      continue;
    }
    sortedTimes.push_back(times[i]);
    sortedKeys.push_back(keyFrames[i]);
  }
  times = std::move(sortedTimes);
  keyFrames = std::move(sortedKeys);
}

bool TryPass(const std::string& path, bool demuxOnly, CFrameIndex& index, std::string& error) {
  PassState state;
  state.demuxOnly = demuxOnly;
  gst_segment_init(&state.segment, GST_FORMAT_UNDEFINED);
  if (demuxOnly)
    state.decoders.reset(gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DECODER, GST_RANK_MARGINAL));
  if (!RunPass(path, state, error)) return false;
  if (!state.videoLinked || state.pictures == 0) {
    error = "the file holds no video pictures";
    return false;
  }
  if (state.untimed == 0) {
    SortAndMerge(state.times, state.keyFrames);
    index.Assign(std::move(state.times), std::move(state.keyFrames),
                 demuxOnly ? CFrameIndex::Origin::kDemuxer : CFrameIndex::Origin::kDecoder);
    return true;
  }
  if (demuxOnly) {
    error = "the video packets carry no times";
    return false;
  }
  index.AssignCount(state.pictures);
  return true;
}

}  // namespace

bool BuildFrameIndex(const std::string& path, CFrameIndex& index, std::string& error) {
  EnsureGstInitialised();
  index.Clear();
  if (TryPass(path, true, index, error)) return true;
  return TryPass(path, false, index, error);
}

}  // namespace DShow
