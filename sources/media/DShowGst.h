#pragma once
// Owning handles for the GStreamer objects the media graphs hold, so that every
// reference is dropped on every path, early returns included.

#include <gst/gst.h>

#include <memory>

namespace DShow {

// Makes sure GStreamer is initialised; safe to call any number of times.
void EnsureGstInitialised();

struct GstObjectUnref {
  void operator()(void* object) const {
    if (object) gst_object_unref(object);
  }
};
struct GstCapsUnref {
  void operator()(GstCaps* caps) const {
    if (caps) gst_caps_unref(caps);
  }
};
struct GstSampleUnref {
  void operator()(GstSample* sample) const {
    if (sample) gst_sample_unref(sample);
  }
};
struct GstMessageUnref {
  void operator()(GstMessage* message) const {
    if (message) gst_message_unref(message);
  }
};
struct GErrorFree {
  void operator()(GError* error) const {
    if (error) g_error_free(error);
  }
};
struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
struct GstFeatureListFree {
  void operator()(GList* list) const {
    if (list) gst_plugin_feature_list_free(list);
  }
};
struct GstObjectListFree {
  void operator()(GList* list) const {
    if (list) g_list_free_full(list, gst_object_unref);
  }
};

template <class T>
using GstPtr = std::unique_ptr<T, GstObjectUnref>;
using ElementPtr = GstPtr<GstElement>;
using PadPtr = GstPtr<GstPad>;
using BusPtr = GstPtr<GstBus>;
using DevicePtr = GstPtr<GstDevice>;
using DeviceMonitorPtr = GstPtr<GstDeviceMonitor>;
using ElementFactoryPtr = GstPtr<GstElementFactory>;
using CapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;
using SamplePtr = std::unique_ptr<GstSample, GstSampleUnref>;
using MessagePtr = std::unique_ptr<GstMessage, GstMessageUnref>;
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;
using FeatureListPtr = std::unique_ptr<GList, GstFeatureListFree>;
using ObjectListPtr = std::unique_ptr<GList, GstObjectListFree>;

// Takes ownership of a freshly made (floating) object: the floating reference
// becomes ours, so adding the object to a bin later adds the bin's own one.
template <class T>
GstPtr<T> AdoptFloating(T* object) {
  if (object) gst_object_ref_sink(object);
  return GstPtr<T>(object);
}

// A new strong reference to an object someone else holds.
template <class T>
GstPtr<T> RefObject(T* object) {
  if (object) gst_object_ref(object);
  return GstPtr<T>(object);
}

}  // namespace DShow
