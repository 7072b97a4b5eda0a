#pragma once
// Test videos whose frames say which frame they are.
//
// Every frame is cut into four quarters (a quad layout); quarter q holds two
// rows of eight cells: the top row is the frame number in binary (most
// significant bit left), the bottom row the quarter number in two cells and
// then a fixed asymmetric pattern, so that a picture that is upside down,
// mirrored or has its colour channels swapped does not decode. A set bit is
// pure blue, a clear bit black. In "interlaced" videos the odd rows are the
// inverse colour, so only a picture made of the even rows decodes.

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace media_test {

constexpr int kCellsX = 8;
constexpr std::array<int, 6> kOrientationBits{1, 1, 0, 1, 0, 0};

struct Decoded {
  int quarter = -1;
  int frame = -1;
};

inline void DrawQuarter(cv::Mat& quarter, int id, int frame) {
  const int cw = quarter.cols / kCellsX, ch = quarter.rows / 2;
  auto cell = [&](int row, int col, int bit) {
    cv::rectangle(quarter, cv::Rect(col * cw, row * ch, cw, ch), bit ? cv::Scalar(255, 0, 0) : cv::Scalar(0, 0, 0), cv::FILLED);
  };
  for (int b = 0; b < kCellsX; ++b) cell(0, b, (frame >> (kCellsX - 1 - b)) & 1);
  cell(1, 0, (id >> 1) & 1);
  cell(1, 1, id & 1);
  for (size_t k = 0; k < kOrientationBits.size(); ++k) cell(1, static_cast<int>(2 + k), kOrientationBits[k]);
}

inline cv::Mat DrawFrame(int width, int height, int frame, bool interlaced) {
  cv::Mat image(height, width, CV_8UC3, cv::Scalar(0, 0, 0));
  const int qw = width / 2, qh = height / 2;
  for (int q = 0; q < 4; ++q) {
    cv::Mat quarter = image(cv::Rect((q % 2) * qw, (q / 2) * qh, qw, qh));
    DrawQuarter(quarter, q, frame);
  }
  if (interlaced)
    for (int y = 1; y < height; y += 2) image.row(y) = cv::Scalar(255, 255, 255) - image.row(y);
  return image;
}

// Reads one quarter-sized picture; nothing when the pattern does not match.
// Only even rows are sampled, so a full interlaced frame decodes as well.
inline std::optional<Decoded> DecodeQuarter(const cv::Mat& picture) {
  if (picture.empty() || picture.type() != CV_8UC3) return std::nullopt;
  const int cw = picture.cols / kCellsX, ch = picture.rows / 2;
  if (cw < 4 || ch < 4) return std::nullopt;
  auto bit = [&](int row, int col, bool& clean) {
    const int cy = (row * ch + ch / 2) & ~1, cx = col * cw + cw / 2;
    double blue = 0, red = 0;
    int n = 0;
    for (int y = cy - 2; y <= cy + 2; y += 2)
      for (int x = cx - 2; x <= cx + 2; ++x, ++n) {
        const cv::Vec3b p = picture.at<cv::Vec3b>(y, x);
        blue += p[0];
        red += p[2];
      }
    blue /= n;
    red /= n;
    if (red > 96 || (blue > 64 && blue < 192)) clean = false;
    return blue >= 128 ? 1 : 0;
  };
  bool clean = true;
  Decoded decoded;
  decoded.frame = 0;
  for (int b = 0; b < kCellsX; ++b) decoded.frame = decoded.frame * 2 + bit(0, b, clean);
  decoded.quarter = bit(1, 0, clean) * 2 + bit(1, 1, clean);
  for (size_t k = 0; k < kOrientationBits.size(); ++k)
    if (bit(1, static_cast<int>(2 + k), clean) != kOrientationBits[k]) return std::nullopt;
  if (!clean) return std::nullopt;
  return decoded;
}

// Quarter q of a full frame (or of any picture laid out as 2 x 2).
inline std::optional<Decoded> DecodeQuarterOf(const cv::Mat& picture, int q) {
  const int qw = picture.cols / 2, qh = picture.rows / 2;
  return DecodeQuarter(picture(cv::Rect((q % 2) * qw, (q / 2) * qh, qw, qh)));
}

struct VideoSpec {
  int width = 320;
  int height = 240;
  int frames = 30;
  int fps = 30;
  std::string encoder;  // "" for raw BGR
  bool interlaced = false;
};

inline void PumpUntilEnd(GstElement* pipeline) {
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
}

// A clip of numbered frames through any encoder and muxer. Frame n is shown
// at times[n] when given (a variable frame rate), else at n / fps.
struct ClipSpec {
  int width = 320;
  int height = 240;
  int frames = 30;
  int fpsNumerator = 30;
  int fpsDenominator = 1;
  std::string encoder;  // "" for raw BGR
  std::string muxer = "avimux";
  std::vector<GstClockTime> times;  // one per frame when given
  bool interlaced = false;
};

struct ClipFacts {
  bool written = false;
  int reordered = 0;  // encoded packets shown before one decoded earlier (B-frames)
};

inline GstPadProbeReturn CountReordered(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* state = static_cast<std::pair<GstClockTime, int>*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer && GST_BUFFER_PTS_IS_VALID(buffer)) {
    if (GST_CLOCK_TIME_IS_VALID(state->first) && GST_BUFFER_PTS(buffer) < state->first) ++state->second;
    state->first = GST_BUFFER_PTS(buffer);
  }
  return GST_PAD_PROBE_OK;
}

inline ClipFacts MakeNumberedClip(const std::string& path, const ClipSpec& spec) {
  gst_init(nullptr, nullptr);
  std::string description = "appsrc name=src format=time ! videoconvert ! ";
  description += spec.encoder.empty() ? "video/x-raw,format=BGR" : spec.encoder + " name=encoder";
  description += " ! " + spec.muxer + " ! filesink location=\"" + path + "\"";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (error) g_error_free(error);
  ClipFacts facts;
  if (!pipeline) return facts;
  GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  const bool variable = !spec.times.empty();
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT, spec.width, "height",
                                      G_TYPE_INT, spec.height, "framerate", GST_TYPE_FRACTION, variable ? 0 : spec.fpsNumerator,
                                      variable ? 1 : spec.fpsDenominator, nullptr);
  gst_app_src_set_caps(GST_APP_SRC(src), caps);
  gst_caps_unref(caps);
  std::pair<GstClockTime, int> order{GST_CLOCK_TIME_NONE, 0};
  if (GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "encoder")) {
    GstPad* output = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(output, GST_PAD_PROBE_TYPE_BUFFER, &CountReordered, &order, nullptr);
    gst_object_unref(output);
    gst_object_unref(encoder);
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  auto timeOf = [&](int n) {
    if (variable) return spec.times[static_cast<size_t>(n)];
    return gst_util_uint64_scale(static_cast<guint64>(n), GST_SECOND * static_cast<guint64>(spec.fpsDenominator),
                                 static_cast<guint64>(spec.fpsNumerator));
  };
  bool ok = true;
  for (int n = 0; n < spec.frames && ok; ++n) {
    cv::Mat frame = DrawFrame(spec.width, spec.height, n, spec.interlaced);
    GstBuffer* buffer = gst_buffer_new_memdup(frame.data, frame.total() * frame.elemSize());
    GST_BUFFER_PTS(buffer) = timeOf(n);
    const GstClockTime step = n + 1 < spec.frames ? timeOf(n + 1) - timeOf(n) : n > 0 ? timeOf(n) - timeOf(n - 1) : GST_SECOND / 30;
    GST_BUFFER_DURATION(buffer) = step;
    ok = gst_app_src_push_buffer(GST_APP_SRC(src), buffer) == GST_FLOW_OK;
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ok = ok && message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(pipeline);
  facts.written = ok;
  facts.reordered = order.second;
  return facts;
}

// Writes an AVI with the numbered frames; false on any failure.
inline bool MakeNumberedAvi(const std::string& path, const VideoSpec& spec) {
  ClipSpec clip;
  clip.width = spec.width;
  clip.height = spec.height;
  clip.frames = spec.frames;
  clip.fpsNumerator = spec.fps;
  clip.encoder = spec.encoder;
  clip.interlaced = spec.interlaced;
  return MakeNumberedClip(path, clip).written;
}

// Every picture of the file in the order the decoder gives them, as BGR,
// decoded from the start independently of the program's graphs; empty when
// the file does not play to its end.
inline std::vector<cv::Mat> DecodeSequentially(const std::string& path) {
  gst_init(nullptr, nullptr);
  const std::string description = "filesrc location=\"" + path +
                                  "\" ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (error) g_error_free(error);
  std::vector<cv::Mat> pictures;
  if (!pipeline) return pictures;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  bool ended = false;
  while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND)) {
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      pictures.push_back(cv::Mat(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                                 GST_VIDEO_INFO_PLANE_STRIDE(&info, 0))
                             .clone());
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
  }
  ended = gst_app_sink_is_eos(GST_APP_SINK(sink));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  if (!ended) pictures.clear();
  return pictures;
}

// Decodes the whole file independently of the program's graphs and counts
// the video frames; -1 when it does not play.
inline int CountDecodedFrames(const std::string& path) {
  gst_init(nullptr, nullptr);
  const std::string description = "filesrc location=\"" + path + "\" ! decodebin ! videoconvert ! fakesink name=sink sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (error) g_error_free(error);
  if (!pipeline) return -1;
  int frames = 0;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo*, gpointer count) {
        ++*static_cast<int*>(count);
        return GST_PAD_PROBE_OK;
      },
      &frames, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pad);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return ended ? frames : -1;
}

inline bool HasElement(const char* factory) {
  gst_init(nullptr, nullptr);
  GstElementFactory* found = gst_element_factory_find(factory);
  if (found) gst_object_unref(found);
  return found != nullptr;
}

}  // namespace media_test
