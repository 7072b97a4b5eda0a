#include "imaging/JpegFile.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace {

constexpr const char* kPrematureEnd = "Premature end of JPEG file";

// An 8-bit BGR image with rows starting on 4-byte boundaries, as view images have them.
cv::Mat AlignedBgr(int width, int height) {
  const int step = (width * 3 + 3) & ~3;
  cv::Mat buffer(height, step, CV_8UC1);
  return buffer.colRange(0, width * 3).reshape(3);
}

// ---- The marker walk ----

bool IsStartOfFrame(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool IsRestart(uint8_t marker) { return marker >= 0xD0 && marker <= 0xD7; }

size_t BigEndian16(const uint8_t* p) { return (static_cast<size_t>(p[0]) << 8) | p[1]; }

// Steps over a scan's entropy-coded data from `pos`: stuffed zero bytes and
// restart markers belong to it. Leaves `pos` on the 0xFF of the marker after it.
bool SkipCodedData(const uint8_t* data, size_t size, size_t& pos) {
  while (pos < size) {
    const void* found = std::memchr(data + pos, 0xFF, size - pos);
    if (found == nullptr) return false;
    const size_t ff = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    size_t next = ff + 1;
    while (next < size && data[next] == 0xFF) ++next;  // fill bytes
    if (next >= size) return false;
    if (data[next] == 0x00 || IsRestart(data[next])) {
      pos = next + 1;
      continue;
    }
    pos = next - 1;
    return true;
  }
  return false;
}

std::string ReadFrameHeader(const uint8_t* segment, size_t length, JpegLayout* layout) {
  if (length < 8) return "Corrupt JPEG data: short frame header";
  const int height = static_cast<int>(BigEndian16(segment + 3));
  const int width = static_cast<int>(BigEndian16(segment + 5));
  if (width == 0 || height == 0) return "has no image size in its frame header";
  if (layout) *layout = JpegLayout{cv::Size(width, height), segment[7]};
  return "";
}

// ---- libjpeg with its reports turned into results ----

// Errors must not return (a long jump leaves the decoder); warnings about the
// image data only count.
struct JpegReport {
  jpeg_error_mgr manager;  // first, so libjpeg's pointer to it is a pointer to the report
  std::jmp_buf escape;
  bool decoding;           // warnings of the image data count; header curiosities do not
  bool failed;
  char message[JMSG_LENGTH_MAX];
};

JpegReport& ReportOf(j_common_ptr info) { return *reinterpret_cast<JpegReport*>(info->err); }

void NoteProblem(j_common_ptr info) {
  JpegReport& report = ReportOf(info);
  if (report.failed) return;
  report.failed = true;
  (*info->err->format_message)(info, report.message);
}

void JpegError(j_common_ptr info) {
  NoteProblem(info);
  std::longjmp(ReportOf(info).escape, 1);
}

void JpegMessage(j_common_ptr info, int level) {
  if (level < 0 && ReportOf(info).decoding) NoteProblem(info);  // level -1 is a warning
}

void JpegSilence(j_common_ptr) {}

// One decoder across the steps below. Only plain data lives in their frames,
// as a long jump may leave them.
struct Decoder {
  jpeg_decompress_struct info;
  JpegReport report;
  bool created = false;
};

struct Request {
  int scaleDenominator = 1;
  bool fast = false;
  bool bgr = true;  // else whatever the file holds, for checks that keep nothing
};

bool StartDecoder(Decoder& decoder, const uint8_t* data, size_t size, const Request& request) {
  decoder.info.err = jpeg_std_error(&decoder.report.manager);
  decoder.report.manager.error_exit = JpegError;
  decoder.report.manager.emit_message = JpegMessage;
  decoder.report.manager.output_message = JpegSilence;
  decoder.report.decoding = false;
  decoder.report.failed = false;
  decoder.report.message[0] = '\0';
  if (setjmp(decoder.report.escape)) return false;
  jpeg_create_decompress(&decoder.info);
  decoder.created = true;
  jpeg_mem_src(&decoder.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&decoder.info, TRUE);
  decoder.info.scale_num = 1;
  decoder.info.scale_denom = static_cast<unsigned int>(request.scaleDenominator);
  if (request.bgr) decoder.info.out_color_space = JCS_EXT_BGR;
  if (request.fast) {
    decoder.info.dct_method = JDCT_IFAST;
    decoder.info.do_fancy_upsampling = FALSE;
  }
  decoder.report.decoding = true;
  jpeg_start_decompress(&decoder.info);
  return true;
}

// Rows go to base + row * step; without a base they are read into a scratch row and dropped.
bool ReadRows(Decoder& decoder, uint8_t* base, size_t step) {
  if (setjmp(decoder.report.escape)) return false;
  jpeg_decompress_struct& info = decoder.info;
  JSAMPARRAY scratch = nullptr;
  if (base == nullptr)
    scratch = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                        info.output_width * static_cast<JDIMENSION>(info.output_components), 1);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[16];
    const JDIMENSION count = std::min<JDIMENSION>(16, info.output_height - info.output_scanline);
    for (JDIMENSION k = 0; k < count; ++k)
      rows[k] = base != nullptr ? base + (info.output_scanline + k) * step : scratch[0];
    jpeg_read_scanlines(&info, rows, base != nullptr ? count : 1);
  }
  jpeg_finish_decompress(&info);
  return !decoder.report.failed;
}

std::string ProblemOf(const Decoder& decoder) {
  return decoder.report.message[0] != '\0' ? decoder.report.message : "the JPEG data is damaged";
}

// Decodes into `bgr` (allocated here once the output size is known), or only
// reads every row when `bgr` is null.
bool Decode(const uint8_t* data, size_t size, const Request& request, cv::Mat* bgr, std::string* problem) {
  Decoder decoder;
  bool ok = StartDecoder(decoder, data, size, request);
  if (ok && bgr != nullptr) {
    if (decoder.info.output_components != 3) {
      ok = false;
      std::snprintf(decoder.report.message, sizeof decoder.report.message, "unsupported JPEG colour layout");
    } else {
      *bgr = AlignedBgr(static_cast<int>(decoder.info.output_width), static_cast<int>(decoder.info.output_height));
    }
  }
  if (ok) ok = ReadRows(decoder, bgr != nullptr ? bgr->data : nullptr, bgr != nullptr ? bgr->step : 0);
  if (decoder.created) jpeg_destroy_decompress(&decoder.info);
  if (!ok) {
    if (problem) *problem = ProblemOf(decoder);
    if (bgr != nullptr) bgr->release();
  }
  return ok;
}

}  // namespace

bool StartsAsJpeg(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

std::string JpegStructureProblem(const uint8_t* data, size_t size, JpegLayout* layout) {
  if (!StartsAsJpeg(data, size)) return "is not a JPEG file";
  bool sawFrame = false, sawScan = false;
  size_t pos = 2;
  for (;;) {
    if (pos >= size) return kPrematureEnd;
    if (data[pos] != 0xFF) return "Corrupt JPEG data: extraneous bytes before a marker";
    while (pos < size && data[pos] == 0xFF) ++pos;
    if (pos >= size) return kPrematureEnd;
    const uint8_t marker = data[pos++];
    if (marker == 0xD9) {
      if (!sawFrame || !sawScan) return "holds no image data";
      return "";
    }
    if (IsRestart(marker) || marker == 0x01) continue;  // markers without a segment
    if (marker == 0xD8 || marker == 0x00) return "Corrupt JPEG data: misplaced marker";
    if (pos + 2 > size) return kPrematureEnd;
    const size_t length = BigEndian16(data + pos);
    if (length < 2) return "Corrupt JPEG data: bad marker length";
    if (pos + length > size) return kPrematureEnd;
    if (IsStartOfFrame(marker)) {
      if (sawFrame) return "Corrupt JPEG data: a second frame header";
      const std::string problem = ReadFrameHeader(data + pos, length, layout);
      if (!problem.empty()) return problem;
      sawFrame = true;
    }
    pos += length;
    if (marker == 0xDA) {
      if (!sawFrame) return "Corrupt JPEG data: a scan before the frame header";
      sawScan = true;
      if (!SkipCodedData(data, size, pos)) return kPrematureEnd;
    }
  }
}

bool DecodeJpeg(const uint8_t* data, size_t size, int scaleDenominator, bool fast, cv::Mat& bgr,
                std::string* problem) {
  Request request;
  request.scaleDenominator = scaleDenominator;
  request.fast = fast;
  return Decode(data, size, request, &bgr, problem);
}

std::string JpegDataProblem(const uint8_t* data, size_t size) {
  Request request;
  request.scaleDenominator = 8;
  request.fast = true;
  request.bgr = false;
  std::string problem;
  return Decode(data, size, request, nullptr, &problem) ? "" : problem;
}
