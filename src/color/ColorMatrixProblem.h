// Why a colour matrix cannot stand for a camera: a value that is not finite
// or beyond +-100 (no camera's matrix comes near), or a square matrix
// without an inverse. Empty when it can. Shared by the review of a raw
// file's tags and the reading of camera-profile files.
#pragma once

#include <string>

class dng_matrix;

std::string ColorMatrixProblem(const dng_matrix& m);

// The same for a camera profile's matrices, as a message says it: "its
// colour matrix ..." or "its second colour matrix ..." (`second` may be
// null). Empty when both can.
std::string ProfileMatricesProblem(const dng_matrix& first, const dng_matrix* second);

// A tag or matrix value as a message shows it: "NaN", "+infinity", or %g.
std::string ColorValueText(double v);
