// Quaternions and axis-angle rotations: conversions among quaternion,
// axis-angle, Matrix3D and Euler forms, quaternion algebra, and measures of
// how far apart two rotations are. Pure values in, values out; every
// cosine handed to acos (or sine to asin) is clamped to [-1, 1].
#pragma once

#include "geometry/zam_transform.h"

// w + x i + y j + z k, scalar first. A rotation by a about the unit axis u
// is (cos(a/2), sin(a/2) u). Nothing keeps it at unit length.
struct Quaternion {
  double w, x, y, z;
};

// A rotation by `angle` radians about `axis` (four doubles: angle, then x, y, z).
struct AxisAngle {
  double angle;
  Point3D axis;
};

Quaternion q_make(double w, Point3D v);
// (cos(a/2), sin(a/2) u); the axis is used as given (not normalised).
Quaternion q_axis(AxisAngle aa);
// The conjugate, the inverse of a unit quaternion.
Quaternion q_inv(Quaternion q);
// Hamilton products: q1 q2, (q1 q2) q3, ((q1 q2) q3) q4.
Quaternion q_qq(Quaternion q1, Quaternion q2);
Quaternion q_q2(Quaternion q1, Quaternion q2);
Quaternion q_q3(Quaternion q1, Quaternion q2, Quaternion q3);
Quaternion q_q4(Quaternion q1, Quaternion q2, Quaternion q3, Quaternion q4);
double dot_qq(Quaternion q1, Quaternion q2);
double d2_qq(Quaternion q1, Quaternion q2);
double d_qq(Quaternion q1, Quaternion q2);
// acos(q1 . q2) and twice that.
double a_qq(Quaternion q1, Quaternion q2);
double gd_qq(Quaternion q1, Quaternion q2);
// Angle (0..pi) of the rotation taking unit q1 to unit q2, whatever the signs.
double ge_qq(Quaternion q1, Quaternion q2);
// 2 acos of the scalar part of q1 q2^-1.
double gf_qq(Quaternion q1, Quaternion q2);
// p rotated by the unit quaternion q: the vector part of q (0, p) q^-1.
Point3D pt_qpt(Quaternion q, Point3D p);
// Rotation matrix of a unit quaternion, translation zero.
Matrix3D tf_q(Quaternion q);
// Unit quaternion of the rotation part (via axis_tf).
Quaternion q_tf(Matrix3D t);
Quaternion q_euler(Euler e);
// Angle 2 acos(w) and the unit direction of the vector part; (0, (0, 0, 1))
// for an angle below 1e-6.
AxisAngle axis_q(Quaternion q);
// Axis and angle (0..pi) of the rotation part; (0, (0, 0, 1)) near the identity.
AxisAngle axis_tf(Matrix3D t);
// Rodrigues rotation about the axis as given (not normalised), translation zero.
Matrix3D tf_axis(AxisAngle aa);
// Rotation by a about v normalised first; the zero vector gives the identity.
Matrix3D tf_rotv(Point3D v, double a);
// The same rotation as tf_axis, built from frames: Rz(phi) Ry(theta) Rz(a)
// Ry(-theta) Rz(-phi) with theta and phi the polar angles of the axis.
Matrix3D tf_axis_trig(AxisAngle aa);
Matrix3D tf_q_axis(Quaternion q);
// Angle of the relative rotation of the two rotation parts (translations
// ignored); 0 below 1e-6, the double just below pi within 1e-6 of a half turn.
double gd_tftf(Matrix3D a, Matrix3D b);
