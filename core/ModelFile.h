#pragma once
// A camera's model file (Camera_<i>_Model.txt beside its intrinsic file): the
// lens model and coefficients of its parameters, and how it is calibrated.
// Written only for a camera that is not plain pinhole-radtan with default
// settings, so older workspaces load and save exactly as before:
//
//   parameters fisheye 0.031 -0.0079 0.0015 -0.0002
//   calibrate fisheye fix-aspect-ratio fix-principal-point zero-tangential fix k3 fix k4 poses-only
//
// Words are separated by blanks or line ends; coefficients are written in
// the shortest form that reads back to the same double.

#include <string>

#include "core/TextIO.h"
#include "records/Records.h"

std::string FormatModelFile(const CameraParameters& parameters, const CalibrationSettings& settings);
// Reads the words of a model file into the parameters' model and coefficients
// (nothing else of them) and the settings; false for anything else, an
// unknown model, option or coefficient, a missing or non-finite number.
bool ParseModelFile(TextFields& fields, CameraParameters& parameters, CalibrationSettings& settings);
// The model file that belongs to an intrinsic file: "Camera_3_Intrinsic.txt" -> "Camera_3_Model.txt"
// (any other name gets ".model" before its extension).
std::string ModelFileNameFor(const std::string& intrinsicName);
