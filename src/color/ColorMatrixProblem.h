// Why a colour matrix cannot stand for a camera: a value that is not finite
// or beyond +-100 (no camera's matrix comes near), or a square matrix
// without an inverse. Empty when it can. Shared by the review of a raw
// file's tags and the reading of camera-profile files.
#pragma once

#include <string>

class dng_matrix;

std::string ColorMatrixProblem(const dng_matrix& m);

// A tag or matrix value as a message shows it: "NaN", "+infinity", or %g.
std::string ColorValueText(double v);
