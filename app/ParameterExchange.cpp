#include "app/ParameterExchange.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <locale.h>
#include <sstream>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "app/CalibrationService.h"
#include "app/YamlDocument.h"
#include "calib/CalibrationDiagnostics.h"
#include "core/CalibrationData.h"
#include "core/ModelFile.h"

namespace {

// Larger files are not parameter files; refusing them early keeps a stray
// video or image from being parsed.
constexpr std::uintmax_t kMaxParameterFileBytes = 1u << 20;
// Largest matrix an import looks at (a 3x4 projection matrix, 14 distortion values).
constexpr int kMaxMatrixSide = 16;
constexpr int kMaxMatrixValues = 64;

const char* const kCoefficientNames[] = {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6",
                                         "s1", "s2", "s3", "s4", "tauX", "tauY"};
constexpr int kKnownCoefficients = 14;

// OpenCV formats and parses numbers through the C library, which follows the
// locale a Qt application takes from the environment; this pins the calling
// thread to the "C" conventions while it lives.
class CNumericLocale {
 public:
  CNumericLocale() : locale_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))) {
    if (locale_) previous_ = uselocale(locale_);
  }
  ~CNumericLocale() {
    if (!locale_) return;
    uselocale(previous_);
    freelocale(locale_);
  }
  CNumericLocale(const CNumericLocale&) = delete;
  CNumericLocale& operator=(const CNumericLocale&) = delete;

 private:
  locale_t locale_ = nullptr;
  locale_t previous_ = nullptr;
};

std::string Number(double value) {
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
  return std::string(buffer, result.ptr);
}

// Shortest form that reads back the same, for messages; whole numbers without exponent.
std::string ShortNumber(double value) {
  if (std::fabs(value) < 1e15 && value == std::floor(value)) return std::to_string(static_cast<long long>(value));
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string NumberList(const double* values, size_t count) {
  std::string text = "[";
  for (size_t i = 0; i < count; ++i) text += (i ? ", " : "") + Number(values[i]);
  return text + "]";
}

ExchangeResult Failure(std::string message) {
  ExchangeResult result;
  result.message = std::move(message);
  return result;
}

// Writes the whole text beside the target first and renames it into place, so
// a failed write never leaves a truncated file under the target's name.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      error = "cannot write \"" + path + "\"";
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    error = "cannot write \"" + path + "\": " + ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

// The coefficients as OpenCV and ROS list them: five for the pinhole models
// up to k3 (k3 = 0 for pinhole-radtan), eight for rational, the fisheye's four.
std::vector<double> ExportedCoefficients(const CameraParameters& p) {
  const size_t count = p.model == LensModel::PinholeRadtan ? 5 : static_cast<size_t>(DistortionCount(p.model));
  return std::vector<double>(p.distortion.begin(), p.distortion.begin() + static_cast<ptrdiff_t>(count));
}

cv::Mat CameraMatrix(const CameraParameters& p) { return cv::Mat(3, 3, CV_64F, const_cast<double*>(p.K.data())).clone(); }
cv::Mat Distortion(const CameraParameters& p) { return cv::Mat(ExportedCoefficients(p), true); }

// Rectification of the rig from OpenCV: rotations R1 R2, projections P1 P2, disparity-to-depth Q.
struct Rectification {
  cv::Mat R1, R2, P1, P2, Q;
};

// T in metres, or in the rig's own unit.
std::array<double, 3> Translation(const ExportedRig& rig, bool metres) {
  const double scale = metres ? MetresPerUnit(rig.unit) : 1.0;
  return {rig.T[0] * scale, rig.T[1] * scale, rig.T[2] * scale};
}

// The projections P1, P2 and Q carry the baseline in the unit T is given in.
bool Rectify(const ExportedRig& rig, bool metres, Rectification& out, std::string& error) {
  const CameraParameters& a = rig.first.parameters;
  const CameraParameters& b = rig.second.parameters;
  if (a.width != b.width || a.height != b.height) {
    error = "the rig's cameras have different image sizes (" + std::to_string(a.width) + "x" +
            std::to_string(a.height) + " and " + std::to_string(b.width) + "x" + std::to_string(b.height) +
            "); rectification needs one";
    return false;
  }
  const bool fisheye = a.model == LensModel::Fisheye;
  if (fisheye != (b.model == LensModel::Fisheye)) {
    error = std::string("the rig's cameras are ") + LensModelName(a.model) + " and " + LensModelName(b.model) +
            "; no rectification covers a fisheye and a pinhole camera together (export each camera on its own, or "
            "the rig as COLMAP or Kalibr)";
    return false;
  }
  try {
    std::array<double, 3> translation = Translation(rig, metres);
    const cv::Mat R(3, 3, CV_64F, const_cast<double*>(rig.R.data()));
    const cv::Mat T(3, 1, CV_64F, translation.data());
    if (fisheye)
      cv::fisheye::stereoRectify(CameraMatrix(a), Distortion(a), CameraMatrix(b), Distortion(b),
                                 cv::Size(a.width, a.height), R, T, out.R1, out.R2, out.P1, out.P2, out.Q,
                                 cv::CALIB_ZERO_DISPARITY);
    else
      cv::stereoRectify(CameraMatrix(a), Distortion(a), CameraMatrix(b), Distortion(b), cv::Size(a.width, a.height),
                        R, T, out.R1, out.R2, out.P1, out.P2, out.Q);
  } catch (const cv::Exception& e) {
    error = std::string("rectification failed: ") + e.what();
    return false;
  }
  return true;
}

bool ValidForExport(const CameraParameters& p, std::string& error) {
  bool finite = p.width > 0 && p.height > 0;
  for (double v : p.K) finite = finite && std::isfinite(v);
  for (double v : p.distortion) finite = finite && std::isfinite(v);
  if (!finite || !(p.K[0] > 0.0) || !(p.K[4] > 0.0)) {
    error = "the camera has no usable parameters to export (calibrate it first)";
    return false;
  }
  return true;
}

// Kalibr's pinhole camera has radtan (k1 k2 p1 p2) and equidistant (the
// fisheye's k1..k4) distortion only; k3 or a rational denominator would be lost.
bool KalibrHolds(const CameraParameters& p, std::string& error) {
  if (p.model == LensModel::PinholeRadtan || p.model == LensModel::Fisheye) return true;
  error = std::string("Kalibr cannot hold the ") + LensModelName(p.model) + " model: its pinhole camera has radtan " +
          "(k1 k2 p1 p2) or equidistant distortion only, and dropping " +
          (p.model == LensModel::Rational ? "k3..k6" : "k3") +
          " would describe another lens; export as OpenCV, ROS or COLMAP, or calibrate with pinhole-radtan";
  return false;
}

// ---- OpenCV FileStorage YAML ----

// A fisheye's k1..k4 go under their own key, so that no reader of pinhole
// coefficients takes them for k1 k2 p1 p2.
void WriteOpenCvCamera(cv::FileStorage& fs, const ExportedCamera& camera, const std::string& suffix) {
  fs << "camera_matrix" + suffix << CameraMatrix(camera.parameters);
  if (camera.parameters.model == LensModel::Fisheye) {
    fs << "distortion_model" + suffix << "fisheye";
    fs << "fisheye_distortion_coefficients" + suffix << Distortion(camera.parameters);
  } else {
    fs << "distortion_coefficients" + suffix << Distortion(camera.parameters);
  }
}

// Parameters that did not come from a run (loaded from a file) have no errors;
// the keys are left out then rather than claiming an error of 0 px.
void WriteOpenCvErrors(cv::FileStorage& fs, double average, const std::vector<double>& perView) {
  if (perView.empty()) return;
  fs << "avg_reprojection_error" << average;
  fs << "per_view_reprojection_errors" << cv::Mat(perView, true);
}

// cv::FileStorage picks its format from the name: the temporary name keeps
// ".xml" (XML) and makes everything else YAML.
ExchangeResult WriteFileStorage(const std::string& path, const std::function<void(cv::FileStorage&)>& write) {
  const bool xml = std::filesystem::path(path).extension() == ".xml";
  const std::string temporary = path + (xml ? ".part.xml" : ".part.yml");
  if (!std::ofstream(temporary)) return Failure("cannot write \"" + path + "\"");  // before OpenCV logs it
  try {
    CNumericLocale numbers;
    cv::FileStorage fs(temporary, cv::FileStorage::WRITE);
    if (!fs.isOpened()) return Failure("cannot write \"" + path + "\"");
    write(fs);
    fs.release();
  } catch (const cv::Exception& e) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return Failure("cannot write \"" + path + "\": " + e.what());
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return Failure("cannot write \"" + path + "\"");
  }
  ExchangeResult result;
  result.ok = true;
  result.files.push_back(path);
  return result;
}

// ---- ROS camera_info YAML ----

std::string RosMatrix(const char* key, int rows, int cols, const double* values) {
  return std::string(key) + ":\n  rows: " + std::to_string(rows) + "\n  cols: " + std::to_string(cols) +
         "\n  data: " + NumberList(values, static_cast<size_t>(rows * cols)) + "\n";
}

const char* RosDistortionModel(LensModel model) {
  switch (model) {
    case LensModel::Rational:
      return "rational_polynomial";
    case LensModel::Fisheye:
      return "equidistant";
    case LensModel::PinholeRadtan:
    case LensModel::PinholeRadtanK3:
      break;
  }
  return "plumb_bob";
}

std::string RosCameraInfo(const ExportedCamera& camera, const double* rectification, const double* projection) {
  const CameraParameters& p = camera.parameters;
  const std::vector<double> d = ExportedCoefficients(p);
  return "image_width: " + std::to_string(p.width) + "\nimage_height: " + std::to_string(p.height) +
         "\ncamera_name: " + camera.name + "\n" + RosMatrix("camera_matrix", 3, 3, p.K.data()) +
         "distortion_model: " + RosDistortionModel(p.model) + "\n" +
         RosMatrix("distortion_coefficients", 1, static_cast<int>(d.size()), d.data()) +
         RosMatrix("rectification_matrix", 3, 3, rectification) + RosMatrix("projection_matrix", 3, 4, projection);
}

std::string RosSingleCamera(const ExportedCamera& camera) {
  const CameraParameters& p = camera.parameters;
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double projection[12] = {p.K[0], p.K[1], p.K[2], 0, p.K[3], p.K[4], p.K[5], 0, p.K[6], p.K[7], p.K[8], 0};
  return RosCameraInfo(camera, identity, projection);
}

const double* Values(const cv::Mat& m) { return m.ptr<double>(); }

// ---- COLMAP cameras.txt ----

// OPENCV (fx fy cx cy k1 k2 p1 p2), FULL_OPENCV (... k3 k4 k5 k6) or OPENCV_FISHEYE (fx fy cx cy k1 k2 k3 k4).
std::string ColmapLine(int id, const CameraParameters& p) {
  const char* model = p.model == LensModel::PinholeRadtan ? "OPENCV"
                      : p.model == LensModel::Fisheye     ? "OPENCV_FISHEYE"
                                                          : "FULL_OPENCV";
  const size_t coefficients = p.model == LensModel::PinholeRadtan || p.model == LensModel::Fisheye ? 4 : 8;
  // COLMAP puts the centre of the top-left pixel at (0.5, 0.5).
  std::vector<double> values = {p.K[0], p.K[4], p.K[2] + 0.5, p.K[5] + 0.5};
  values.insert(values.end(), p.distortion.begin(), p.distortion.begin() + static_cast<ptrdiff_t>(coefficients));
  std::string line = std::to_string(id) + " " + model + " " + std::to_string(p.width) + " " + std::to_string(p.height);
  for (double v : values) line.append(" ").append(Number(v));
  return line + "\n";
}

std::string ColmapCameras(const std::vector<const CameraParameters*>& cameras) {
  std::string text =
      "# Camera list with one line of data per camera:\n"
      "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
      "# Number of cameras: " + std::to_string(cameras.size()) + "\n";
  for (size_t i = 0; i < cameras.size(); ++i) text += ColmapLine(static_cast<int>(i) + 1, *cameras[i]);
  return text;
}

// ---- Kalibr camchain YAML ----

std::string IndexList(const std::vector<int>& indices) {
  std::string text = "[";
  for (size_t i = 0; i < indices.size(); ++i) text += (i ? ", " : "") + std::to_string(indices[i]);
  return text + "]";
}

// Keys in Kalibr's own order (sorted), the transform from the previous camera first.
std::string KalibrCamera(int index, const CameraParameters& p, const std::string& transform,
                         const std::vector<int>& overlaps) {
  const double intrinsics[4] = {p.K[0], p.K[4], p.K[2], p.K[5]};
  const double size[2] = {static_cast<double>(p.width), static_cast<double>(p.height)};
  const std::string name = "cam" + std::to_string(index);
  const char* distortion = p.model == LensModel::Fisheye ? "equidistant" : "radtan";
  return name + ":\n" + transform + "  cam_overlaps: " + IndexList(overlaps) +
         "\n  camera_model: pinhole\n  distortion_coeffs: " + NumberList(p.distortion.data(), 4) +
         "\n  distortion_model: " + distortion + "\n  intrinsics: " + NumberList(intrinsics, 4) +
         "\n  resolution: " + NumberList(size, 2) + "\n  rostopic: /" + name + "/image_raw\n";
}

std::string KalibrTransform(const ExportedRig& rig) {
  const std::array<double, 3> T = Translation(rig, true);
  std::string text = "  T_cn_cnm1:\n";
  for (int row = 0; row < 3; ++row) {
    const double values[4] = {rig.R[3 * row], rig.R[3 * row + 1], rig.R[3 * row + 2], T[row]};
    text += "  - " + NumberList(values, 4) + "\n";
  }
  const double last[4] = {0, 0, 0, 1};
  return text + "  - " + NumberList(last, 4) + "\n";
}

ExchangeResult WriteText(const std::string& path, const std::string& text) {
  ExchangeResult result;
  if (!WriteWholeFile(path, text, result.message)) return result;
  result.ok = true;
  result.files.push_back(path);
  return result;
}

}  // namespace

std::optional<ExchangeFormat> ParseExchangeFormat(const std::string& name) {
  if (name == "opencv") return ExchangeFormat::OpenCv;
  if (name == "ros") return ExchangeFormat::Ros;
  if (name == "colmap") return ExchangeFormat::Colmap;
  if (name == "kalibr") return ExchangeFormat::Kalibr;
  return std::nullopt;
}

std::string SecondCameraPath(const std::string& path) {
  const std::filesystem::path p(path);
  return (p.parent_path() / (p.stem().string() + "_1" + p.extension().string())).string();
}

ExchangeResult ExportCamera(const ExportedCamera& camera, ExchangeFormat format, const std::string& path) {
  std::string error;
  if (!ValidForExport(camera.parameters, error)) return Failure(error);
  switch (format) {
    case ExchangeFormat::OpenCv:
      return WriteFileStorage(path, [&camera](cv::FileStorage& fs) {
        fs << "image_width" << camera.parameters.width << "image_height" << camera.parameters.height;
        WriteOpenCvCamera(fs, camera, "");
        WriteOpenCvErrors(fs, camera.averageError, camera.perViewErrors);
      });
    case ExchangeFormat::Ros:
      return WriteText(path, RosSingleCamera(camera));
    case ExchangeFormat::Colmap:
      return WriteText(path, ColmapCameras({&camera.parameters}));
    case ExchangeFormat::Kalibr:
      if (!KalibrHolds(camera.parameters, error)) return Failure(error);
      return WriteText(path, KalibrCamera(0, camera.parameters, "", {}));
  }
  return Failure("unknown format");
}

ExchangeResult ExportRig(const ExportedRig& rig, ExchangeFormat format, const std::string& path) {
  std::string error;
  if (!ValidForExport(rig.first.parameters, error) || !ValidForExport(rig.second.parameters, error))
    return Failure(error);
  Rectification rectified;
  const bool rectifies = format == ExchangeFormat::OpenCv || format == ExchangeFormat::Ros;
  if (rectifies && !Rectify(rig, format == ExchangeFormat::Ros, rectified, error)) return Failure(error);
  switch (format) {
    case ExchangeFormat::OpenCv:
      return WriteFileStorage(path, [&](cv::FileStorage& fs) {
        fs << "image_width" << rig.first.parameters.width << "image_height" << rig.first.parameters.height;
        WriteOpenCvCamera(fs, rig.first, "");
        WriteOpenCvCamera(fs, rig.second, "_1");
        WriteOpenCvErrors(fs, rig.averageError, rig.perPairErrors);
        fs << "R" << cv::Mat(3, 3, CV_64F, const_cast<double*>(rig.R.data()));
        fs << "T" << cv::Mat(3, 1, CV_64F, const_cast<double*>(rig.T.data()));
        fs << "T_unit" << LengthUnitName(rig.unit);
        fs << "R1" << rectified.R1 << "R2" << rectified.R2 << "P1" << rectified.P1 << "P2" << rectified.P2;
        fs << "Q" << rectified.Q;
      });
    case ExchangeFormat::Ros: {
      ExchangeResult first = WriteText(path, RosCameraInfo(rig.first, Values(rectified.R1), Values(rectified.P1)));
      if (!first.ok) return first;
      const std::string secondPath = SecondCameraPath(path);
      ExchangeResult second = WriteText(secondPath, RosCameraInfo(rig.second, Values(rectified.R2), Values(rectified.P2)));
      if (!second.ok) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);  // half a rig is no export
        return second;
      }
      first.files.push_back(secondPath);
      return first;
    }
    case ExchangeFormat::Colmap:
      return WriteText(path, ColmapCameras({&rig.first.parameters, &rig.second.parameters}));
    case ExchangeFormat::Kalibr:
      if (!KalibrHolds(rig.first.parameters, error) || !KalibrHolds(rig.second.parameters, error)) return Failure(error);
      return WriteText(path, KalibrCamera(0, rig.first.parameters, "", {1}) +
                                 KalibrCamera(1, rig.second.parameters, KalibrTransform(rig), {0}));
  }
  return Failure("unknown format");
}

ExportedCamera ExportedCameraOf(const CCalibrationData& data, int camera) {
  ExportedCamera exported;
  exported.parameters = data.GetCameraParameters(camera);
  exported.name = "camera" + std::to_string(camera);
  const std::vector<ViewError> errors = PerViewErrors(FitOf(data.GetCalibrationProblem(camera)));
  double squares = 0.0;
  for (const ViewError& e : errors) {
    exported.perViewErrors.push_back(e.rms);
    squares += e.rms * e.rms;  // every view holds the same number of points
  }
  exported.averageError = errors.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(errors.size()));
  return exported;
}

ExportedRig ExportedRigOf(const StereoRigResult& rig) {
  ExportedRig exported;
  exported.first.parameters = rig.first;
  exported.first.name = "camera0";
  exported.second.parameters = rig.second;
  exported.second.name = "camera1";
  exported.R = rig.second.R;
  exported.T = rig.second.T;
  exported.unit = rig.unit;
  double squares = 0.0;
  for (const PairError& e : rig.pairErrors) {
    exported.perPairErrors.push_back(e.rms);
    squares += e.rms * e.rms;
  }
  if (!rig.pairErrors.empty()) exported.averageError = std::sqrt(squares / static_cast<double>(rig.pairErrors.size()));
  return exported;
}

// ---------------------------------------------------------------- import

namespace {

struct Matrix {
  int rows = 0;
  int cols = 0;
  std::vector<double> values;
};

ImportResult Refusal(std::string message) {
  ImportResult result;
  result.message = std::move(message);
  return result;
}

const char* const kReadableFormats =
    "parameters are read from OpenCV YAML/XML (camera_matrix, distortion_coefficients), ROS camera_info YAML, "
    "Kalibr camchain YAML and COLMAP cameras.txt with one camera each, and Lentora intrinsic files";

// A file that is none of the formats we read: the reason, then what we read.
ImportResult Unrecognised(const std::string& reason) { return Refusal(reason + "; " + kReadableFormats); }

// Fills the intrinsics a file gave into the camera's record, keeping its pose.
// The smallest pinhole model that holds every coefficient given (k1 k2 p1 p2 [k3 [k4 k5 k6]]).
LensModel PinholeModelOf(const std::vector<double>& coefficients) {
  const auto given = [&](size_t i) { return i < coefficients.size() && coefficients[i] != 0.0; };
  if (given(5) || given(6) || given(7)) return LensModel::Rational;
  return given(4) ? LensModel::PinholeRadtanK3 : LensModel::PinholeRadtan;
}

// Fills the intrinsics a file gave into the camera's record, keeping its pose;
// the camera takes the file's lens model whatever it had before.
ImportResult Intrinsics(const CameraParameters& current, double fx, double fy, double cx, double cy, LensModel model,
                        const std::vector<double>& coefficients, int width, int height) {
  if (!(fx > 0.0) || !(fy > 0.0)) return Refusal("the file's focal lengths are not positive");
  ImportResult result;
  result.parameters = current;
  result.parameters.K = {fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0};
  result.parameters.model = model;
  result.parameters.distortion.fill(0.0);
  for (size_t i = 0; i < std::min(coefficients.size(), static_cast<size_t>(DistortionCount(model))); ++i)
    result.parameters.distortion[i] = coefficients[i];
  result.parameters.width = width;
  result.parameters.height = height;
  result.ok = true;
  return result;
}

bool WholePositive(double value) { return value >= 1.0 && value <= 1e6 && value == std::floor(value); }

// ---- Kalibr camchain YAML ----

bool IsKalibrCameraKey(const std::string& key) {
  return key.size() > 3 && key.compare(0, 3, "cam") == 0 &&
         key.find_first_not_of("0123456789", 3) == std::string::npos;
}

std::vector<std::string> KalibrCameraKeys(const YamlValue& root) {
  std::vector<std::string> keys;
  if (!root.IsMapping()) return keys;
  for (const auto& [key, value] : root.fields)
    if (IsKalibrCameraKey(key)) keys.push_back(key);
  return keys;
}

// `count` numbers under `key`; "" on success, else what is wrong.
std::string KalibrNumbers(const YamlValue& camera, const std::string& key, size_t count, std::vector<double>& out) {
  const YamlValue* node = camera.Find(key);
  if (!node) return "the Kalibr camera has no " + key;
  if (!node->IsSequence() || node->items.size() != count)
    return "the Kalibr camera's " + key + " must be a list of " + std::to_string(count) + " numbers";
  out.clear();
  for (const YamlValue& item : node->items) {
    const std::optional<double> value = item.Number();
    if (!value) return "the Kalibr camera's " + key + " holds something that is not a finite number";
    out.push_back(*value);
  }
  return "";
}

std::string KalibrName(const YamlValue& camera, const std::string& key, std::string& out) {
  const YamlValue* node = camera.Find(key);
  if (!node || !node->IsScalar()) return "the Kalibr camera has no " + key;
  out = node->scalar;
  return "";
}

ImportResult ReadKalibr(const YamlValue& root, const CameraParameters& current) {
  const std::vector<std::string> keys = KalibrCameraKeys(root);
  if (keys.size() != 1) {
    std::string names;
    for (const std::string& key : keys) names += (names.empty() ? "" : ", ") + key;
    return Refusal("the Kalibr file holds " + std::to_string(keys.size()) + " cameras (" + names +
                   "); a camera's parameters are read from a file with one camera");
  }
  const YamlValue& camera = *root.Find(keys.front());
  if (!camera.IsMapping()) return Refusal("the Kalibr file's " + keys.front() + " is not a mapping");
  std::string model, distortionModel;
  std::vector<double> intrinsics, coefficients, resolution;
  std::string error = KalibrName(camera, "camera_model", model);
  if (error.empty() && model != "pinhole")
    error = "Kalibr camera model \"" + model + "\" cannot be held; the camera model is pinhole";
  if (error.empty()) error = KalibrName(camera, "distortion_model", distortionModel);
  const bool equidistant = distortionModel == "equidistant";
  if (error.empty() && distortionModel != "radtan" && distortionModel != "none" && !equidistant)
    error = "Kalibr distortion model \"" + distortionModel +
            "\" cannot be held; the lens models hold radtan (pinhole-radtan) and equidistant (fisheye)";
  if (error.empty()) error = KalibrNumbers(camera, "intrinsics", 4, intrinsics);
  if (error.empty() && distortionModel != "none") error = KalibrNumbers(camera, "distortion_coeffs", 4, coefficients);
  if (error.empty()) error = KalibrNumbers(camera, "resolution", 2, resolution);
  if (error.empty() && !(WholePositive(resolution[0]) && WholePositive(resolution[1])))
    error = "the Kalibr camera's resolution is not a pair of positive whole numbers";
  if (!error.empty()) return Refusal(error);
  return Intrinsics(current, intrinsics[0], intrinsics[1], intrinsics[2], intrinsics[3],
                    equidistant ? LensModel::Fisheye : LensModel::PinholeRadtan, coefficients,
                    static_cast<int>(resolution[0]), static_cast<int>(resolution[1]));
}

// ---- COLMAP cameras.txt ----

// The COLMAP models the lens models hold, with their parameters in file order.
struct ColmapModel {
  const char* name;
  size_t parameterCount;
  // fx, fy, cx, cy, then the coefficients, from the file's parameters.
  std::vector<double> (*intrinsics)(const std::vector<double>& v);
  bool fisheye;  // OPENCV_FISHEYE: k1 k2 k3 k4 of the fisheye; the others are pinhole models
};

std::vector<double> AsGiven(const std::vector<double>& v) { return v; }

const ColmapModel kColmapModels[] = {
    {"SIMPLE_PINHOLE", 3, [](const std::vector<double>& v) { return std::vector<double>{v[0], v[0], v[1], v[2]}; }, false},
    {"PINHOLE", 4, AsGiven, false},
    {"SIMPLE_RADIAL", 4, [](const std::vector<double>& v) { return std::vector<double>{v[0], v[0], v[1], v[2], v[3]}; },
     false},
    {"RADIAL", 5, [](const std::vector<double>& v) { return std::vector<double>{v[0], v[0], v[1], v[2], v[3], v[4]}; },
     false},
    {"OPENCV", 8, AsGiven, false},
    {"FULL_OPENCV", 12, AsGiven, false},
    {"OPENCV_FISHEYE", 8, AsGiven, true},
};

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The lines that are neither empty nor comments.
std::vector<std::string> ColmapDataLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start != std::string::npos && line[start] != '#') lines.push_back(line);
  }
  return lines;
}

// The first line that is no comment reads CAMERA_ID MODEL WIDTH HEIGHT ...: a
// number, then a model name in capitals. (YAML files may start with comments too.)
bool LooksLikeColmap(const std::string& text) {
  const std::vector<std::string> lines = ColmapDataLines(text);
  if (lines.empty()) return false;
  const std::vector<std::string> words = Words(lines.front());
  const auto all = [](const std::string& word, int (*test)(int)) {
    return std::all_of(word.begin(), word.end(), [test](char c) { return c == '_' || test(static_cast<unsigned char>(c)); });
  };
  return words.size() >= 4 && all(words[0], ::isdigit) && words[0].find('_') == std::string::npos &&
         all(words[1], ::isupper);
}

bool ParseNumber(const std::string& word, double& value) {
  const char* begin = word.data();
  const char* end = begin + word.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && ptr == end && std::isfinite(value);
}

ImportResult ReadColmap(const std::string& text, const CameraParameters& current) {
  const std::vector<std::string> lines = ColmapDataLines(text);
  if (lines.size() != 1)
    return Refusal("the COLMAP file lists " + std::to_string(lines.size()) +
                   " cameras; a camera's parameters are read from a file with one camera");
  const std::vector<std::string> words = Words(lines.front());
  if (words.size() < 4) return Refusal("the COLMAP camera line needs CAMERA_ID, MODEL, WIDTH, HEIGHT and PARAMS");
  const std::string& name = words[1];
  const ColmapModel* model = nullptr;
  for (const ColmapModel& m : kColmapModels)
    if (name == m.name) model = &m;
  if (!model)
    return Refusal("COLMAP camera model " + name +
                   " cannot be held; the lens models are OPENCV, FULL_OPENCV, OPENCV_FISHEYE or their special cases");
  std::vector<double> values;
  for (size_t i = 2; i < words.size(); ++i) {
    double value = 0.0;
    if (!ParseNumber(words[i], value)) return Refusal("the COLMAP camera line holds \"" + words[i] + "\", not a number");
    values.push_back(value);
  }
  if (!WholePositive(values[0]) || !WholePositive(values[1]))
    return Refusal("the COLMAP camera's width and height are not positive whole numbers");
  const std::vector<double> parameters(values.begin() + 2, values.end());
  if (parameters.size() != model->parameterCount)
    return Refusal("the COLMAP " + name + " camera has " + std::to_string(parameters.size()) + " parameters instead of " +
                   std::to_string(model->parameterCount));
  const std::vector<double> v = model->intrinsics(parameters);
  const std::vector<double> coefficients(v.begin() + 4, v.end());
  const LensModel lens = model->fisheye ? LensModel::Fisheye : PinholeModelOf(coefficients);
  // COLMAP puts the centre of the top-left pixel at (0.5, 0.5).
  return Intrinsics(current, v[0], v[1], v[2] - 0.5, v[3] - 0.5, lens, coefficients, static_cast<int>(values[0]),
                    static_cast<int>(values[1]));
}

bool ReadNumber(const cv::FileNode& node, double& value) {
  if (!node.isReal() && !node.isInt()) return false;
  value = static_cast<double>(node);
  return true;
}

// An opencv-matrix, a ROS {rows, cols, data} mapping or a plain list (1xN).
// "" on success, else what is wrong with it.
std::string ReadMatrix(const cv::FileNode& node, const std::string& key, Matrix& out) {
  cv::FileNode data = node;
  out.rows = 1;
  if (node.isMap()) {
    double rows = 0, cols = 0;
    if (!ReadNumber(node["rows"], rows) || !ReadNumber(node["cols"], cols) || !node["data"].isSeq())
      return key + " needs rows, cols and data";
    if (rows < 1 || cols < 1 || rows > kMaxMatrixSide || cols > kMaxMatrixSide || rows * cols > kMaxMatrixValues)
      return key + " is " + ShortNumber(rows) + "x" + ShortNumber(cols) + ", larger than any camera parameter";
    out.rows = static_cast<int>(rows);
    out.cols = static_cast<int>(cols);
    data = node["data"];
  } else if (node.isSeq()) {
    if (node.size() > static_cast<size_t>(kMaxMatrixValues)) return key + " has too many values";
    out.cols = static_cast<int>(node.size());
  } else {
    return key + " is not a matrix";
  }
  if (data.size() != static_cast<size_t>(out.rows * out.cols))
    return key + " holds " + std::to_string(data.size()) + " values for " + std::to_string(out.rows) + "x" +
           std::to_string(out.cols);
  for (const cv::FileNode& element : data) {
    double value = 0;
    if (!ReadNumber(element, value)) return key + " holds something that is not a number";
    if (!std::isfinite(value)) return key + " holds a value that is not a finite number";
    out.values.push_back(value);
  }
  return "";
}

// The first of the keys present in the file, or an empty node.
cv::FileNode FindKey(const cv::FileNode& root, std::initializer_list<const char*> keys, std::string& found) {
  for (const char* key : keys) {
    cv::FileNode node = root[key];
    if (!node.empty()) {
      found = key;
      return node;
    }
  }
  return cv::FileNode();
}

std::string CheckCameraMatrix(const Matrix& m, const std::string& key) {
  if (m.values.size() != 9) return key + " must be 3x3, the file's is " + std::to_string(m.rows) + "x" + std::to_string(m.cols);
  const std::vector<double>& K = m.values;
  if (K[1] != 0.0) return key + " has a skew of " + ShortNumber(K[1]) + "; the camera model has none";
  if (K[3] != 0.0 || K[6] != 0.0 || K[7] != 0.0 || K[8] != 1.0) return key + " is not a camera matrix (expected last row 0 0 1)";
  if (!(K[0] > 0.0) || !(K[4] > 0.0)) return key + " has focal lengths that are not positive";
  return "";
}

// The pinhole model a list of OpenCV coefficients (k1 k2 p1 p2 [k3 [k4 k5 k6
// [s1..s4 [tauX tauY]]]]) describes: the smallest that holds every value
// given, so a camera exported by us reads back as the model it had. Thin
// prism and tilt terms are refused. `rational` forces the rational model (a
// ROS rational_polynomial file). "" on success.
std::string PinholeFromCoefficients(const Matrix& m, const std::string& key, bool rational, CameraParameters& camera) {
  const size_t count = m.values.size();
  if (m.rows != 1 && m.cols != 1) return key + " must be one row or one column";
  if (count < 4) return key + " has " + std::to_string(count) + " values; the pinhole models need k1 k2 p1 p2";
  if (count > static_cast<size_t>(kKnownCoefficients)) return key + " has " + std::to_string(count) + " values, more than any known model";
  std::string extra;
  for (size_t i = 8; i < count; ++i)
    if (m.values[i] != 0.0) extra += std::string(extra.empty() ? "" : ", ") + kCoefficientNames[i] + " = " + ShortNumber(m.values[i]);
  if (!extra.empty())
    return "the lens models hold up to k1 k2 p1 p2 k3 k4 k5 k6 (rational); " + key + " has " + extra;
  const auto given = [&](size_t i) { return i < count && m.values[i] != 0.0; };
  LensModel model = LensModel::PinholeRadtan;
  if (rational || count >= 8 || given(5) || given(6) || given(7)) model = LensModel::Rational;
  else if (given(4)) model = LensModel::PinholeRadtanK3;
  camera.model = model;
  camera.distortion.fill(0.0);
  for (size_t i = 0; i < std::min(count, static_cast<size_t>(DistortionCount(model))); ++i) camera.distortion[i] = m.values[i];
  return "";
}

std::string FisheyeFromCoefficients(const Matrix& m, const std::string& key, CameraParameters& camera) {
  if ((m.rows != 1 && m.cols != 1) || m.values.size() != 4) return key + " must hold the fisheye's four values k1 k2 k3 k4";
  camera.model = LensModel::Fisheye;
  camera.distortion.fill(0.0);
  std::copy(m.values.begin(), m.values.end(), camera.distortion.begin());
  return "";
}

// Image size given by the file (0 when it gives none).
std::string ReadImageSize(const cv::FileNode& root, int& width, int& height) {
  std::string key;
  const cv::FileNode w = FindKey(root, {"image_width", "image_Width"}, key);
  const cv::FileNode h = FindKey(root, {"image_height", "image_Height"}, key);
  width = height = 0;
  if (w.empty() && h.empty()) return "";
  double wv = 0, hv = 0;
  if (!ReadNumber(w, wv) || !ReadNumber(h, hv) || wv < 1 || hv < 1 || wv > 1e6 || hv > 1e6 || wv != std::floor(wv) ||
      hv != std::floor(hv))
    return "the file's image size is not a pair of positive whole numbers";
  width = static_cast<int>(wv);
  height = static_cast<int>(hv);
  return "";
}

// OpenCV's parser puts "(line): reason" where the function name usually goes.
// `addedLines` counts lines put before the file's text.
std::string ParseErrorText(const cv::Exception& e, int addedLines) {
  const std::string& where = e.func;
  const size_t close = where.find("): ");
  int line = 0;
  if (where.rfind("(", 0) != 0 || close == std::string::npos ||
      std::from_chars(where.data() + 1, where.data() + close, line).ec != std::errc())
    return "";
  return " at line " + std::to_string(line - addedLines) + ": " + where.substr(close + 3);
}

ImportResult ReadFileStorage(const std::string& text, bool xml, const CameraParameters& current) {
  CNumericLocale numbers;
  cv::FileStorage fs;
  // ROS writes YAML without OpenCV's directive line, which the reader needs.
  const bool directive = xml || text.rfind("%YAML", 0) == 0;
  try {
    fs.open(directive ? text : "%YAML:1.0\n" + text, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                                                         (xml ? cv::FileStorage::FORMAT_XML : cv::FileStorage::FORMAT_YAML));
  } catch (const cv::Exception& e) {
    return Unrecognised("the file cannot be parsed" + ParseErrorText(e, directive ? 0 : 1));
  }
  if (!fs.isOpened()) return Unrecognised("the file cannot be parsed");
  const cv::FileNode root = fs.root();
  if (!root.isMap()) return Unrecognised("the file holds no parameter mapping");

  // ROS names the model (plumb_bob, rational_polynomial, equidistant); our
  // OpenCV files name a fisheye, whose coefficients have their own key.
  std::string model = "plumb_bob";
  const cv::FileNode modelNode = root["distortion_model"];
  if (!modelNode.empty()) model = modelNode.isString() ? static_cast<std::string>(modelNode) : "";
  const bool fisheye = model == "equidistant" || model == "fisheye";
  if (model != "plumb_bob" && model != "rational_polynomial" && !fisheye)
    return Refusal("distortion model \"" + model +
                   "\" cannot be held; the lens models are plumb_bob (pinhole-radtan, pinhole-radtan-k3), "
                   "rational_polynomial (rational) and equidistant (fisheye)");

  std::string matrixKey, distortionKey;
  const cv::FileNode matrixNode = FindKey(root, {"camera_matrix", "Camera_Matrix", "cameraMatrix"}, matrixKey);
  const cv::FileNode distortionNode =
      model == "fisheye"
          ? FindKey(root, {"fisheye_distortion_coefficients"}, distortionKey)
          : FindKey(root, {"distortion_coefficients", "Distortion_Coefficients", "dist_coeffs"}, distortionKey);
  if (matrixNode.empty()) return Unrecognised("the file has no camera_matrix, Camera_Matrix or cameraMatrix");
  if (distortionNode.empty())
    return Refusal(model == "fisheye" ? "the fisheye file has no fisheye_distortion_coefficients"
                                      : "the file has no distortion_coefficients, Distortion_Coefficients or dist_coeffs");
  Matrix K, D;
  std::string error = ReadMatrix(matrixNode, matrixKey, K);
  if (error.empty()) error = CheckCameraMatrix(K, matrixKey);
  if (error.empty()) error = ReadMatrix(distortionNode, distortionKey, D);
  CameraParameters lens;
  if (error.empty())
    error = fisheye ? FisheyeFromCoefficients(D, distortionKey, lens)
                    : PinholeFromCoefficients(D, distortionKey, model == "rational_polynomial", lens);
  int width = 0, height = 0;
  if (error.empty()) error = ReadImageSize(root, width, height);
  if (!error.empty()) return Refusal(error);

  ImportResult result;
  result.parameters = current;
  std::copy(K.values.begin(), K.values.end(), result.parameters.K.begin());
  result.parameters.model = lens.model;
  result.parameters.distortion = lens.distortion;
  if (width > 0) {
    result.parameters.width = width;
    result.parameters.height = height;
  }
  result.ok = true;
  return result;
}

// Our intrinsic file, and the model file beside it when there is one: the
// intrinsic file of another model than pinhole-radtan holds no distortion.
ImportResult ReadOwnParameterFile(const std::string& path, const CameraParameters& current) {
  CCalibrationData scratch;
  scratch.AddCamera();
  if (!scratch.ReadIntrinsicFile(0, path)) return Refusal("the parameter file is incomplete or holds a bad number");
  const std::string modelPath = ModelFileNameFor(path);
  std::error_code ignored;
  if (std::filesystem::exists(modelPath, ignored) && !scratch.ReadModelFile(0, modelPath))
    return Refusal("the model file beside it, \"" + modelPath + "\", cannot be read");
  ImportResult result;
  result.parameters = scratch.GetCameraParameters(0);
  const CameraParameters& p = result.parameters;
  bool finite = true;
  for (double v : p.K) finite = finite && std::isfinite(v);
  for (double v : p.distortion) finite = finite && std::isfinite(v);
  for (double v : p.R) finite = finite && std::isfinite(v);
  for (double v : p.T) finite = finite && std::isfinite(v);
  if (!finite) return Refusal("the parameter file holds a value that is not a finite number");
  if (!(p.K[0] > 0.0) || !(p.K[4] > 0.0)) return Refusal("the parameter file has focal lengths that are not positive");
  if (p.width <= 0 || p.height <= 0) {
    result.parameters.width = current.width;
    result.parameters.height = current.height;
  }
  result.ok = true;
  return result;
}

bool ReadSmallFile(const std::string& path, std::string& text, std::string& error) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  if (size > kMaxParameterFileBytes) {
    error = "\"" + path + "\" is too large for a parameter file (" + std::to_string(size) + " bytes)";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in && !in.eof()) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  text = content.str();
  return true;
}

ImportResult ReadAnyFormat(const std::string& path, const std::string& text, const CameraParameters& current) {
  const char first = text[text.find_first_not_of(" \t\r\n")];
  if (LooksLikeColmap(text)) return ReadColmap(text, current);
  // Our own files are numbers only, the first the camera matrix's fx.
  std::istringstream words(text);
  std::string firstWord;
  double number = 0.0;
  if (words >> firstWord && ParseNumber(firstWord, number)) return ReadOwnParameterFile(path, current);
  if (first == '<') return ReadFileStorage(text, true, current);
  // Kalibr's layout (a list under a key at the key's own indentation) is
  // beyond OpenCV's YAML reader, so camchains go through libyaml.
  const YamlParse yaml = ParseYaml(text);
  if (yaml.ok && !KalibrCameraKeys(yaml.root).empty()) return ReadKalibr(yaml.root, current);
  return ReadFileStorage(text, false, current);
}

}  // namespace

ImportResult ReadParameterFile(const std::string& path, const CameraParameters& current) {
  std::string text, error;
  if (!ReadSmallFile(path, text, error)) return Refusal(error);
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return Refusal("\"" + path + "\" is empty");
  ImportResult result = ReadAnyFormat(path, text, current);
  if (!result.ok) return result;
  const CameraParameters& p = result.parameters;
  if (current.width > 0 && current.height > 0 && (p.width != current.width || p.height != current.height))
    return Refusal("the file's image size " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                   " differs from the camera's " + std::to_string(current.width) + "x" + std::to_string(current.height));
  return result;
}

ImportResult ImportParameters(CCalibrationData& data, int camera, const std::string& path) {
  if (camera < 0 || camera >= data.GetCameraCount()) return Refusal("no camera " + std::to_string(camera + 1));
  CameraParameters current = data.GetCameraParameters(camera);
  // The camera's views decide its size when it has any.
  if (data.GetViewCount(camera) > 0) {
    current.width = data.GetImageWidth(camera);
    current.height = data.GetImageHeight(camera);
  }
  ImportResult result = ReadParameterFile(path, current);
  if (result.ok) data.SetCameraParameters(camera, result.parameters);
  return result;
}
