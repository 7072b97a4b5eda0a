// The two graph kinds: a decoded video file and a live capture device.

#include <filesystem>
#include <string_view>

#include "sources/inhouse/DShow.h"

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
  if (Failed(hr)) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
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
  hr = CreatePipeline();
  if (Failed(hr)) return hr;
  gst_object_set_name(GST_OBJECT(capture.get()), "Capture Filter");
  if (!gst_bin_add(GST_BIN(pipeline_.get()), capture.get()) || Failed(BuildPreviewChain()) ||
      Failed(ConnectFilters(pipeline_.get(), capture.get(), ConvertElement()))) {
    TearDown();
    return E_FAIL;
  }
  SetSource(std::move(capture));
  live_ = true;
  return S_OK;
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
