// Local reference frames and docking decompositions. A frame is a Matrix3D
// that moves a first point to the origin, a second onto the -z or +z axis
// and a third into the half plane y = 0, x >= 0; a decomposition splits a
// rigid transform into rotation, translation along z, rotation. Pure values.
#pragma once

#include "geometry/zam_transform.h"

// Translation by -p, and by +p.
Matrix3D tf_origin(Point3D p);
Matrix3D tf_1_point(Point3D p);
// Rotation whose rows are a, b and c (p maps to (a . p, b . p, c . p)).
Matrix3D tf_3_vectors(Point3D a, Point3D b, Point3D c);
Matrix3D tf_3_points(Point3D a, Point3D b, Point3D c);
// p1 to the origin, p2 onto -z (resp. +z). Coinciding points give the
// translation followed by a half turn about y (resp. the translation alone).
Matrix3D tf_origin_negz(Point3D p1, Point3D p2);
Matrix3D tf_origin_posz(Point3D p1, Point3D p2);
// p to the origin, the direction v onto +z.
Matrix3D tf_origin_poszv(Point3D p, Point3D v);
// p1 to the origin, p2 onto -z (resp. +z), p3 to y = 0, x >= 0. A p3 on the
// line through p1 and p2 makes no turn. Rows of the rotation of the negz
// frame are the local axes: row 2 the unit vector from p2 towards p1.
Matrix3D tf_origin_negz_posx(Point3D p1, Point3D p2, Point3D p3);
Matrix3D tf_origin_posz_posx(Point3D p1, Point3D p2, Point3D p3);
// p to the origin, v onto +z, the rotated direction w to azimuth 0.
Matrix3D tf_origin_poszv_posxv(Point3D p, Point3D v, Point3D w);
// p1 to the origin, p2 onto -z, built by arctangents; may differ from
// tf_origin_negz by a turn about z.
Matrix3D tf_origin_negz_old(Point3D p1, Point3D p2);
// Right-handed rotation by angle about the line through p1 and p2, taken in
// the direction from p2 to p1; points on the line stay put.
Matrix3D tf_ptpta(Point3D p1, Point3D p2, double angle);
// T = first . Z(+r) . second: second applied first, then the translation by
// r along +z, then first. Writes through all three pointers.
void rpzr_tf(Matrix3D* second, double* r, Matrix3D* first, Matrix3D T);
// T = first . Z(-r) . second, with the translation along -z.
void rnzr_tf(Matrix3D* second, double* r, Matrix3D* first, Matrix3D T);
