// Grabbing frame k of a 1080p H.264 clip with B-frames (groups of 60
// pictures) through the file graph, against decoding the clip from its start
// up to frame k. Counters: grab_ms and sequential_ms per frame, and their ratio.
// BM_FrameIndex: the one-time index pass against decoding the whole clip.

#include <benchmark/benchmark.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <opencv2/imgproc.hpp>

#include "sources/FrameSampler.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 120;

// Moving shapes over a gradient, so the decoder has real work.
cv::Mat DrawPicture(int n) {
  cv::Mat picture(kHeight, kWidth, CV_8UC3);
  for (int y = 0; y < kHeight; ++y) picture.row(y).setTo(cv::Scalar((y + 3 * n) % 256, (y / 4) % 256, (2 * y) % 256));
  for (int i = 0; i < 12; ++i)
    cv::circle(picture, {(150 * i + 25 * n) % kWidth, (90 * i + 7 * n) % kHeight}, 60 + 5 * i, cv::Scalar(40 * i % 256, 255, 30), -1);
  cv::putText(picture, std::to_string(n), {100, 200}, cv::FONT_HERSHEY_SIMPLEX, 5.0, cv::Scalar(255, 255, 255), 8);
  return picture;
}

std::string MakeClip() {
  const std::string path = (std::filesystem::temp_directory_path() / "lentora_bench_1080p.mp4").string();
  gst_init(nullptr, nullptr);
  const std::string description =
      "appsrc name=src format=time ! videoconvert ! x264enc speed-preset=superfast bitrate=8000 key-int-max=60 bframes=2 "
      "! mp4mux ! filesink location=\"" + path + "\"";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return {};
  GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT, kWidth, "height", G_TYPE_INT,
                                      kHeight, "framerate", GST_TYPE_FRACTION, 30, 1, nullptr);
  gst_app_src_set_caps(GST_APP_SRC(src), caps);
  gst_caps_unref(caps);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  for (int n = 0; n < kFrames; ++n) {
    const cv::Mat picture = DrawPicture(n);
    GstBuffer* buffer = gst_buffer_new_memdup(picture.data, picture.total() * picture.elemSize());
    GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(n, GST_SECOND, 30);
    GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(1, GST_SECOND, 30);
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(bus, 300 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(pipeline);
  return ended ? path : std::string{};
}

// Made once per run, removed at exit.
struct ClipFile {
  std::string path = MakeClip();
  ~ClipFile() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove(path, ignored);
  }
};

const std::string& Clip() {
  static const ClipFile clip;
  return clip.path;
}

// The reference: a fresh decode from the start to BGR, up to picture `frame`.
bool DecodeSequentiallyTo(const std::string& path, int frame) {
  const std::string description =
      "filesrc location=\"" + path + "\" ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return false;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  int pictures = 0;
  while (pictures <= frame) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (!sample) break;
    gst_sample_unref(sample);
    ++pictures;
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return pictures > frame;
}

double Milliseconds(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

void BM_GrabVersusSequentialDecode(benchmark::State& state) {
  const int frame = static_cast<int>(state.range(0));
  if (Clip().empty()) {
    state.SkipWithError("cannot make the 1080p H.264 clip");
    return;
  }
  CSamplingFileGraph graph;
  graph.InitialiseFrameSampler();
  if (DShow::Failed(graph.OpenMediaFile(Clip()))) {
    state.SkipWithError("cannot open the clip");
    return;
  }
  double grab = 0, sequential = 0;
  for (auto _ : state) {
    // From the other end of the clip, so no decoder state is reused.
    graph.SeekToFrame(frame < kFrames / 2 ? kFrames - 1 : 0);
    auto start = std::chrono::steady_clock::now();
    if (graph.SeekToFrame(frame) != DShow::S_OK) state.SkipWithError("seek failed");
    benchmark::DoNotOptimize(graph.Sampler()->CloneLatestFrame());
    grab += Milliseconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    if (!DecodeSequentiallyTo(Clip(), frame)) state.SkipWithError("sequential decode failed");
    sequential += Milliseconds(std::chrono::steady_clock::now() - start);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["grab_ms"] = grab / n;
  state.counters["sequential_ms"] = sequential / n;
  state.counters["ratio"] = grab / sequential;
}
BENCHMARK(BM_GrabVersusSequentialDecode)->Arg(1)->Arg(30)->Arg(59)->Arg(61)->Arg(119)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_FrameIndex(benchmark::State& state) {
  if (Clip().empty()) {
    state.SkipWithError("cannot make the 1080p H.264 clip");
    return;
  }
  double index = 0, decode = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    DShow::CFrameIndex built;
    std::string error;
    if (!DShow::BuildFrameIndex(Clip(), built, error) || built.Count() != kFrames) state.SkipWithError("index failed");
    index += Milliseconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    DecodeSequentiallyTo(Clip(), kFrames - 1);
    decode += Milliseconds(std::chrono::steady_clock::now() - start);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["index_ms"] = index / n;
  state.counters["whole_decode_ms"] = decode / n;
  state.counters["ratio"] = index / decode;
}
BENCHMARK(BM_FrameIndex)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
