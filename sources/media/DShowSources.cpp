// The two graph kinds: a decoded video file and a live capture device.

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "sources/media/DShow.h"

namespace DShow {

// ---- File graph ------------------------------------------------------------

HRESULT CDShowFileGraph::OpenMediaFile(const std::string& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return E_INVALIDARG;
  HRESULT hr = CreatePipeline();
  if (Failed(hr)) return hr;
  videoLinked_ = false;
  ElementPtr fileSource, decoder;
  if (Failed(AddFilterByCLSID(pipeline_.get(), "filesrc", "File Source", &fileSource)) ||
      Failed(AddFilterByCLSID(pipeline_.get(), "decodebin", "Decoder", &decoder)) ||
      Failed(ConnectFilters(pipeline_.get(), fileSource.get(), decoder.get())) || Failed(BuildPreviewChain())) {
    TearDown();
    return E_FAIL;
  }
  g_object_set(fileSource.get(), "location", path.c_str(), nullptr);
  g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(&CDShowFileGraph::OnDecodedPad), this);
  SetSource(std::move(fileSource));
  hr = ChangeState(GST_STATE_PAUSED);
  if (Succeeded(hr) && !videoLinked_) hr = E_FAIL;  // a file without a video stream
  if (Failed(hr)) {
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    return hr;
  }
  // Without an index the file still plays; seeks then fail.
  CFrameIndex index;
  std::string ignored;
  BuildFrameIndex(path, index, ignored);
  SetFrameIndex(std::move(index));
  return hr;
}

HRESULT CDShowFileGraph::Stop() {
  if (!pipeline_) return E_UNEXPECTED;
  if (recording_) return CDShowGraph::Stop();
  return Pause();
}

void CDShowFileGraph::OnDecodedPad(GstElement*, GstPad* pad, gpointer self) {
  static_cast<CDShowFileGraph*>(self)->LinkDecodedPad(pad);
}

void CDShowFileGraph::LinkDecodedPad(GstPad* pad) {
  CapsPtr caps{gst_pad_get_current_caps(pad)};
  if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
  const GstStructure* structure = caps && gst_caps_get_size(caps.get()) > 0 ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  const std::string_view media = structure ? gst_structure_get_name(structure) : "";
  // The decoder makes new pads each time the graph starts from stopped, so
  // the converter's free input, not a flag, says whether video is wanted.
  PadPtr input{gst_element_get_static_pad(ConvertElement(), "sink")};
  if (input && !gst_pad_is_linked(input.get()) && media.starts_with("video/")) {
    if (gst_pad_link(pad, input.get()) == GST_PAD_LINK_OK) {
      videoLinked_ = true;
      return;
    }
  }
  // Streams we do not show still need a sink, or the demuxer stops on them.
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  if (!sink) return;
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(pipeline_.get()), sink);
  gst_element_sync_state_with_parent(sink);
  PadPtr sinkInput{gst_element_get_static_pad(sink, "sink")};
  if (sinkInput) gst_pad_link(pad, sinkInput.get());
}

// ---- Capture graph ---------------------------------------------------------

HRESULT CDShowCaptureGraph::ConnectToLiveSource(int device) {
  ElementPtr capture;
  HRESULT hr = CreateVideoCaptureDevice(device, &capture);
  if (Failed(hr)) return hr;
  std::vector<std::string> names;
  EnumVideoCaptureDevices(names);
  deviceName_ = static_cast<size_t>(device) <= names.size() ? names[static_cast<size_t>(device - 1)] : "";
  hr = CreatePipeline();
  if (Failed(hr)) return hr;
  gst_object_set_name(GST_OBJECT(capture.get()), "Capture Filter");
  if (!gst_bin_add(GST_BIN(pipeline_.get()), capture.get())) {
    TearDown();
    return E_FAIL;
  }
  PadPtr captureOutput;
  if (Succeeded(FindCategoryPin(capture.get(), PIN_CATEGORY_CAPTURE, PINDIR_OUTPUT, &captureOutput)))
    gst_pad_add_probe(captureOutput.get(), GST_PAD_PROBE_TYPE_BUFFER, &CDShowCaptureGraph::OnCaptureBuffer, this, nullptr);
  dropped_.Reset();
  SetSource(std::move(capture));
  live_ = true;
  hr = BuildCaptureChain(MediaType{});
  if (Failed(hr)) TearDown();
  return hr;
}

GstPadProbeReturn CDShowCaptureGraph::OnCaptureBuffer(GstPad*, GstPadProbeInfo* info, gpointer self) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer)
    static_cast<CDShowCaptureGraph*>(self)->dropped_.Observe(
        GST_BUFFER_OFFSET_IS_VALID(buffer) ? GST_BUFFER_OFFSET(buffer) : DroppedFrameCounter::kNoNumber);
  return GST_PAD_PROBE_OK;
}

HRESULT CDShowCaptureGraph::GetDroppedFrames(uint64_t* dropped) const {
  if (!dropped) return E_POINTER;
  if (!dropped_.Known()) return E_NOTIMPL;
  *dropped = dropped_.Dropped();
  return S_OK;
}

void DroppedFrameCounter::Observe(uint64_t number) {
  std::lock_guard lock(mutex_);
  if (number == kNoNumber) {
    unnumbered_ = true;
    return;
  }
  if (seenAny_ && number > last_) dropped_ += number - last_ - 1;
  seenAny_ = true;
  last_ = number;
}

void DroppedFrameCounter::Reset() {
  std::lock_guard lock(mutex_);
  seenAny_ = false;
  unnumbered_ = false;
  last_ = 0;
  dropped_ = 0;
}

bool DroppedFrameCounter::Known() const {
  std::lock_guard lock(mutex_);
  return seenAny_ && !unnumbered_;
}

uint64_t DroppedFrameCounter::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

HRESULT CDShowCaptureGraph::GetCaptureFormat(MediaType* type) const {
  if (!type) return E_POINTER;
  if (!source_) return E_UNEXPECTED;
  PadPtr output;
  if (Failed(FindCategoryPin(source_.get(), PIN_CATEGORY_CAPTURE, PINDIR_OUTPUT, &output))) return E_FAIL;
  CapsPtr caps{gst_pad_get_current_caps(output.get())};
  if (!caps || gst_caps_get_size(caps.get()) == 0) return E_FAIL;
  const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
  MediaType result;
  if (!gst_structure_get_int(structure, "width", &result.width) || !gst_structure_get_int(structure, "height", &result.height))
    return E_FAIL;
  gst_structure_get_fraction(structure, "framerate", &result.fpsNumerator, &result.fpsDenominator);
  if (result.fpsDenominator <= 0) result.fpsDenominator = 1;
  result.valid = true;
  *type = result;
  return S_OK;
}

}  // namespace DShow

namespace DShow {

namespace {

// Sizes offered for devices that scale to anything.
constexpr std::pair<int, int> kCommonSizes[] = {{320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}};

std::vector<int> IntChoices(const GValue* value) {
  std::vector<int> choices;
  if (!value) return choices;
  if (G_VALUE_HOLDS_INT(value)) choices.push_back(g_value_get_int(value));
  if (GST_VALUE_HOLDS_LIST(value))
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
      const GValue* item = gst_value_list_get_value(value, i);
      if (G_VALUE_HOLDS_INT(item)) choices.push_back(g_value_get_int(item));
    }
  return choices;
}

bool InIntRange(const GValue* value, int wanted) {
  if (!value) return false;
  if (GST_VALUE_HOLDS_INT_RANGE(value))
    return wanted >= gst_value_get_int_range_min(value) && wanted <= gst_value_get_int_range_max(value);
  for (int choice : IntChoices(value))
    if (choice == wanted) return true;
  return false;
}

std::vector<std::pair<int, int>> FractionChoices(const GValue* value) {
  std::vector<std::pair<int, int>> choices;
  if (!value) return choices;
  auto add = [&choices](const GValue* item) {
    if (GST_VALUE_HOLDS_FRACTION(item) && gst_value_get_fraction_numerator(item) > 0)
      choices.emplace_back(gst_value_get_fraction_numerator(item), gst_value_get_fraction_denominator(item));
  };
  add(value);
  if (GST_VALUE_HOLDS_LIST(value))
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) add(gst_value_list_get_value(value, i));
  if (choices.empty()) choices.emplace_back(30, 1);  // ranges: offer the usual rate
  return choices;
}

void AddFormat(std::vector<MediaType>& formats, int width, int height, std::pair<int, int> rate) {
  for (const MediaType& known : formats)
    if (known.width == width && known.height == height && known.fpsNumerator == rate.first && known.fpsDenominator == rate.second)
      return;
  MediaType type;
  type.valid = true;
  type.width = width;
  type.height = height;
  type.fpsNumerator = rate.first;
  type.fpsDenominator = rate.second;
  formats.push_back(type);
}

void AddStructureFormats(const GstStructure* structure, std::vector<MediaType>& formats) {
  const GValue* widths = gst_structure_get_value(structure, "width");
  const GValue* heights = gst_structure_get_value(structure, "height");
  const auto rates = FractionChoices(gst_structure_get_value(structure, "framerate"));
  const std::vector<int> w = IntChoices(widths), h = IntChoices(heights);
  if (!w.empty() && !h.empty()) {
    for (int width : w)
      for (int height : h)
        for (const auto& rate : rates) AddFormat(formats, width, height, rate);
    return;
  }
  for (const auto& [width, height] : kCommonSizes)
    if (InIntRange(widths, width) && InIntRange(heights, height))
      for (const auto& rate : rates) AddFormat(formats, width, height, rate);
}

}  // namespace

HRESULT CDShowCaptureGraph::GetCaptureFormats(std::vector<MediaType>& formats) {
  formats.clear();
  if (!source_ || !pipeline_) return E_UNEXPECTED;
  GstState state = GST_STATE_NULL;
  gst_element_get_state(pipeline_.get(), &state, nullptr, 0);
  if (state == GST_STATE_NULL) gst_element_set_state(source_.get(), GST_STATE_READY);  // devices tell their formats once open
  PadPtr output;
  if (Failed(FindCategoryPin(source_.get(), PIN_CATEGORY_CAPTURE, PINDIR_OUTPUT, &output))) return E_FAIL;
  CapsPtr caps{gst_pad_query_caps(output.get(), nullptr)};
  if (state == GST_STATE_NULL) gst_element_set_state(source_.get(), GST_STATE_NULL);
  if (!caps) return E_FAIL;
  for (guint i = 0; i < gst_caps_get_size(caps.get()); ++i) AddStructureFormats(gst_caps_get_structure(caps.get(), i), formats);
  return formats.empty() ? S_FALSE : S_OK;
}

HRESULT CDShowCaptureGraph::SetCaptureFormat(const MediaType& wanted) {
  const HRESULT hr = BuildCaptureChain(wanted);
  return Failed(hr) ? hr : InitialiseFrameSampler();
}

// capture ! capsfilter(wanted raw or motion JPEG) ! decodebin ! preview chain
HRESULT CDShowCaptureGraph::BuildCaptureChain(const MediaType& wanted) {
  if (!source_ || !pipeline_) return E_UNEXPECTED;
  if (recording_) Stop();
  ChangeState(GST_STATE_NULL);
  if (GetVideoRenderer()) NukeGraphSegment(pipeline_.get(), source_.get(), GetVideoRenderer());
  RemovePreviewChain();
  if (formatFilter_) {
    if (GST_OBJECT_PARENT(formatFilter_.get()) == GST_OBJECT(pipeline_.get())) gst_bin_remove(GST_BIN(pipeline_.get()), formatFilter_.get());
    formatFilter_.reset();
  }
  recording_ = false;
  gst_pipeline_auto_clock(GST_PIPELINE(pipeline_.get()));

  CapsPtr caps{gst_caps_new_empty_simple("video/x-raw")};
  CapsPtr jpeg{gst_caps_new_empty_simple("image/jpeg")};
  for (GstCaps* each : {caps.get(), jpeg.get()}) {
    if (wanted.width > 0) gst_caps_set_simple(each, "width", G_TYPE_INT, wanted.width, nullptr);
    if (wanted.height > 0) gst_caps_set_simple(each, "height", G_TYPE_INT, wanted.height, nullptr);
    if (wanted.fpsNumerator > 0)
      gst_caps_set_simple(each, "framerate", GST_TYPE_FRACTION, wanted.fpsNumerator, std::max(1, wanted.fpsDenominator), nullptr);
  }
  gst_caps_append(caps.get(), jpeg.release());
  if (Failed(AddFilterByCLSID(pipeline_.get(), "capsfilter", "Capture Format", &formatFilter_))) return E_FAIL;
  g_object_set(formatFilter_.get(), "caps", caps.get(), nullptr);
  ElementPtr decoder;
  if (Failed(AddFilterByCLSID(pipeline_.get(), "decodebin", "Capture Decoder", &decoder)) || Failed(BuildPreviewChain()) ||
      Failed(ConnectFilters(pipeline_.get(), source_.get(), formatFilter_.get())) ||
      Failed(ConnectFilters(pipeline_.get(), formatFilter_.get(), decoder.get())))
    return E_FAIL;
  // decodebin passes raw video through and decodes motion JPEG cameras.
  g_signal_connect(decoder.get(), "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer convert) {
                     PadPtr input{gst_element_get_static_pad(GST_ELEMENT(convert), "sink")};
                     if (input && !gst_pad_is_linked(input.get())) gst_pad_link(pad, input.get());
                   }),
                   ConvertElement());
  return S_OK;
}

}  // namespace DShow
