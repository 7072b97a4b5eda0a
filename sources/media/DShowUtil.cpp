// Graph utilities: adding and linking elements, finding pads, cutting a part
// of a graph out, encoder and capture device lists, duration text.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sources/media/DShow.h"

namespace DShow {

namespace {

GList* PadList(GstElement* element, PinDirection direction) {
  return direction == PINDIR_OUTPUT ? element->srcpads : element->sinkpads;
}

GstPadDirection GstDirection(PinDirection direction) { return direction == PINDIR_OUTPUT ? GST_PAD_SRC : GST_PAD_SINK; }

bool IsRequestPad(GstPad* pad) {
  GstPadTemplate* padTemplate = gst_pad_get_pad_template(pad);
  if (!padTemplate) return false;
  const bool request = GST_PAD_TEMPLATE_PRESENCE(padTemplate) == GST_PAD_REQUEST;
  gst_object_unref(padTemplate);
  return request;
}

// Unlinks an output pad from its peer and gives back request pads on both sides.
void UnlinkOutput(GstElement* owner, GstPad* output) {
  PadPtr peer{gst_pad_get_peer(output)};
  if (peer) {
    gst_pad_unlink(output, peer.get());
    ElementPtr peerOwner{gst_pad_get_parent_element(peer.get())};
    if (peerOwner && IsRequestPad(peer.get())) gst_element_release_request_pad(peerOwner.get(), peer.get());
  }
  if (IsRequestPad(output)) gst_element_release_request_pad(owner, output);
}

std::vector<PadPtr> OutputPads(GstElement* element) {
  std::vector<PadPtr> pads;
  GST_OBJECT_LOCK(element);
  for (GList* l = element->srcpads; l; l = l->next) pads.push_back(RefObject(GST_PAD(l->data)));
  GST_OBJECT_UNLOCK(element);
  return pads;
}

// Removes `element` and everything after it up to (not including) `stop`.
void RemoveDownstream(GstElement* graph, GstElement* element, GstElement* stop) {
  if (element == stop || GST_OBJECT_PARENT(element) != GST_OBJECT(graph)) return;
  ElementPtr keep = RefObject(element);
  for (PadPtr& output : OutputPads(element)) {
    PadPtr peer{gst_pad_get_peer(output.get())};
    ElementPtr next{peer ? gst_pad_get_parent_element(peer.get()) : nullptr};
    UnlinkOutput(element, output.get());
    if (next) RemoveDownstream(graph, next.get(), stop);
  }
  gst_element_set_state(element, GST_STATE_NULL);
  gst_bin_remove(GST_BIN(graph), element);
}

std::string Truncated(std::string text, size_t maxChars) {
  if (text.size() > maxChars) text.resize(maxChars);
  return text;
}

// ---- Encoders ----

bool AviMuxTakes(GstElementFactory* encoder, GstCaps* muxCaps) {
  for (const GList* l = gst_element_factory_get_static_pad_templates(encoder); l; l = l->next) {
    auto* padTemplate = static_cast<GstStaticPadTemplate*>(l->data);
    if (padTemplate->direction != GST_PAD_SRC) continue;
    CapsPtr caps{gst_static_pad_template_get_caps(padTemplate)};
    if (caps && !gst_caps_is_any(caps.get()) && gst_caps_can_intersect(caps.get(), muxCaps)) return true;
  }
  return false;
}

CapsPtr AviMuxVideoCaps() {
  ElementFactoryPtr mux{gst_element_factory_find("avimux")};
  if (!mux) return nullptr;
  for (const GList* l = gst_element_factory_get_static_pad_templates(mux.get()); l; l = l->next) {
    auto* padTemplate = static_cast<GstStaticPadTemplate*>(l->data);
    if (padTemplate->direction == GST_PAD_SINK && std::string_view(padTemplate->name_template).starts_with("video"))
      return CapsPtr{gst_static_pad_template_get_caps(padTemplate)};
  }
  return nullptr;
}

struct EncoderEntry {
  std::string factory;
  std::string longName;
};

std::vector<EncoderEntry> ListEncoders() {
  EnsureGstInitialised();
  std::vector<EncoderEntry> encoders;
  CapsPtr muxCaps = AviMuxVideoCaps();
  if (!muxCaps) return encoders;
  FeatureListPtr factories{gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_VIDEO_ENCODER, GST_RANK_NONE)};
  GList* sorted = g_list_sort(factories.release(), gst_plugin_feature_rank_compare_func);
  factories.reset(sorted);
  for (GList* l = factories.get(); l; l = l->next) {
    auto* factory = GST_ELEMENT_FACTORY(l->data);
    const char* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    // Motion JPEG encoders call themselves image encoders, but in an AVI they
    // are the most common video compressor, so they are offered too.
    const bool encoder = klass && (std::strstr(klass, "Codec/Encoder/Video") || std::strstr(klass, "Codec/Encoder/Image"));
    if (!encoder || !AviMuxTakes(factory, muxCaps.get())) continue;
    const char* longName = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME);
    const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
    encoders.push_back({name, longName ? longName : name});
  }
  return encoders;
}

// ---- Capture devices ----

struct CaptureDevice {
  std::string name;
  DevicePtr device;  // null for the virtual and test-pattern devices
};

bool TestDeviceWanted() {
  const char* value = std::getenv("LENTORA_TEST_DEVICE");
  return value && std::string_view(value) == "1";
}

std::vector<CaptureDevice> ListCaptureDevices() {
  EnsureGstInitialised();
  std::vector<CaptureDevice> devices;
  DeviceMonitorPtr monitor{gst_device_monitor_new()};
  if (monitor) {
    gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
    ObjectListPtr found{gst_device_monitor_get_devices(monitor.get())};
    for (GList* l = found.get(); l; l = l->next) {
      GstDevice* device = GST_DEVICE(l->data);
      GCharPtr name{gst_device_get_display_name(device)};
      devices.push_back({name ? name.get() : "Video device", RefObject(device)});
    }
  }
  devices.push_back({kVirtualLeftName, nullptr});
  devices.push_back({kVirtualRightName, nullptr});
  if (TestDeviceWanted()) devices.push_back({kTestDeviceName, nullptr});
  return devices;
}

}  // namespace

HRESULT AddFilterByCLSID(GstElement* graph, const char* factory, const char* name, ElementPtr* element) {
  if (!graph || !factory || !element) return E_POINTER;
  ElementPtr made = AdoptFloating(gst_element_factory_make(factory, name));
  if (!made || !gst_bin_add(GST_BIN(graph), made.get())) return E_FAIL;
  *element = std::move(made);
  return S_OK;
}

HRESULT ConnectFilters(GstElement*, GstElement* from, GstElement* to) {
  if (!from || !to) return E_POINTER;
  return gst_element_link(from, to) ? S_OK : E_FAIL;
}

HRESULT ConnectFilters(GstElement*, GstPad* output, GstElement* to) {
  if (!output || !to) return E_POINTER;
  PadPtr input{gst_element_get_compatible_pad(to, output, nullptr)};
  if (!input) return E_FAIL;
  if (gst_pad_link(output, input.get()) == GST_PAD_LINK_OK) return S_OK;
  if (IsRequestPad(input.get())) gst_element_release_request_pad(to, input.get());
  return E_FAIL;
}

HRESULT GetPin(GstElement* element, PinDirection direction, PadPtr* pin) {
  if (!element || !pin) return E_POINTER;
  GST_OBJECT_LOCK(element);
  GList* first = PadList(element, direction);
  PadPtr found = first ? RefObject(GST_PAD(first->data)) : nullptr;
  GST_OBJECT_UNLOCK(element);
  if (!found) return E_FAIL;
  *pin = std::move(found);
  return S_OK;
}

HRESULT GetUnconnectedPin(GstElement* element, PinDirection direction, PadPtr* pin) {
  if (!element || !pin) return E_POINTER;
  PadPtr found;
  GST_OBJECT_LOCK(element);
  for (GList* l = PadList(element, direction); l && !found; l = l->next)
    if (!gst_pad_is_linked(GST_PAD(l->data))) found = RefObject(GST_PAD(l->data));
  GST_OBJECT_UNLOCK(element);
  if (!found) {
    GstElementClass* elementClass = GST_ELEMENT_GET_CLASS(element);
    for (GList* l = gst_element_class_get_pad_template_list(elementClass); l && !found; l = l->next) {
      auto* padTemplate = GST_PAD_TEMPLATE(l->data);
      if (GST_PAD_TEMPLATE_PRESENCE(padTemplate) == GST_PAD_REQUEST &&
          GST_PAD_TEMPLATE_DIRECTION(padTemplate) == GstDirection(direction))
        found.reset(gst_element_request_pad(element, padTemplate, nullptr, nullptr));
    }
  }
  if (!found) return E_FAIL;
  *pin = std::move(found);
  return S_OK;
}

HRESULT FindCategoryPin(GstElement* element, PinCategory category, PinDirection direction, PadPtr* pin) {
  if (!element || !pin) return E_POINTER;
  if (category != PIN_CATEGORY_CAPTURE || direction != PINDIR_OUTPUT) return E_FAIL;
  return GetPin(element, PINDIR_OUTPUT, pin);
}

HRESULT NukeGraphSegment(GstElement* graph, GstElement* from, GstElement* to) {
  if (!graph || !from || !to) return E_POINTER;
  for (PadPtr& output : OutputPads(from)) {
    PadPtr peer{gst_pad_get_peer(output.get())};
    ElementPtr next{peer ? gst_pad_get_parent_element(peer.get()) : nullptr};
    UnlinkOutput(from, output.get());
    if (next) RemoveDownstream(graph, next.get(), to);
  }
  return S_OK;
}

HRESULT EnumVideoCompressors(std::vector<std::string>& names, size_t maxCount, size_t maxChars) {
  names.clear();
  for (EncoderEntry& entry : ListEncoders()) {
    if (names.size() >= maxCount) break;
    names.push_back(Truncated(entry.longName, maxChars));
  }
  return S_OK;
}

std::string GetCompressorFactoryName(int index) {
  const std::vector<EncoderEntry> encoders = ListEncoders();
  if (index < 0 || static_cast<size_t>(index) >= encoders.size()) return {};
  return encoders[static_cast<size_t>(index)].factory;
}

HRESULT GetCompressor(int index, ElementPtr* compressor) {
  if (!compressor) return E_POINTER;
  const std::string factory = GetCompressorFactoryName(index);
  if (factory.empty()) return E_INVALIDARG;
  ElementPtr made = AdoptFloating(gst_element_factory_make(factory.c_str(), nullptr));
  if (!made) return E_FAIL;
  *compressor = std::move(made);
  return S_OK;
}

HRESULT EnumVideoCaptureDevices(std::vector<std::string>& names, size_t maxCount, size_t maxChars) {
  names.clear();
  for (CaptureDevice& device : ListCaptureDevices()) {
    if (names.size() >= maxCount) break;
    names.push_back(Truncated(device.name, maxChars));
  }
  return S_OK;
}

HRESULT CreateVideoCaptureDevice(int device, ElementPtr* element, std::string* problem) {
  if (!element) return E_POINTER;
  std::vector<CaptureDevice> devices = ListCaptureDevices();
  if (device < 1 || static_cast<size_t>(device) > devices.size()) return E_INVALIDARG;
  CaptureDevice& chosen = devices[static_cast<size_t>(device - 1)];
  ElementPtr made;
  RigSide side = RigSide::kLeft;
  if (chosen.device) {
    made = AdoptFloating(gst_device_create_element(chosen.device.get(), nullptr));
  } else if (VirtualRigSideOf(chosen.name, side)) {
    VirtualRig rig;
    const std::string wrong = VirtualRigFromEnvironment(rig);
    if (!wrong.empty()) {
      if (problem) *problem = wrong;
      return E_INVALIDARG;
    }
    return CreateVirtualCameraSource(rig, side, element);
  } else {
    made = AdoptFloating(gst_element_factory_make("videotestsrc", nullptr));
    if (made) g_object_set(made.get(), "is-live", TRUE, nullptr);
  }
  if (!made) return E_FAIL;
  *element = std::move(made);
  return S_OK;
}

std::string FormatDuration(int64_t duration100ns) {
  if (duration100ns < 0) return "--:--:--.---";
  const int64_t ms = duration100ns / 10000;
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02d:%02d.%03d", static_cast<long long>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  return text;
}

HRESULT GetDurationString(const CDShowGraph& graph, std::string& text) {
  int64_t duration = 0;
  const HRESULT hr = graph.GetDuration(&duration);
  text = FormatDuration(Succeeded(hr) ? duration : -1);
  return hr;
}

}  // namespace DShow
