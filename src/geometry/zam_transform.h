// Points, vectors and rigid-body transforms: the value types every layer
// above passes around, with their arithmetic.
#pragma once

// A point or vector of three doubles.
struct Point3D {
  double x, y, z;
};

// The same with floats, used in score tables.
struct Point3Df {
  float x, y, z;
};

// A rigid-body transform of 12 doubles in three rows of four: rotation
// element (i, j) at m[4 i + j], translation at m[3], m[7], m[11], so that a
// point p maps to R p + t.
struct Matrix3D {
  double m[12];
};
