// Hydrogen templates of residues, read from atom_templates.dat on first use:
// one line per hydrogen (residue, hydrogen, parent atom, three reference
// atoms, the hydrogen's offset x y z in the frame of the reference atoms and
// its distance from the parent). The frame puts the first reference atom at
// the origin, the second on the -z axis and the third in the half plane
// y = 0, x >= 0; the first reference atom is normally the parent. A parent
// name written with a leading 'x' is stored with a leading blank. Names are
// at most 4 characters. Module state behind one lock.
#pragma once

#include "geometry/zam_transform.h"

// One template as stored.
struct _zam_h_template {
  char residue[5];
  char hydrogen[5];
  char parent[5];
  char ref[3][5];
  float offset[3];
  float distance;
};

// (Re)reads the templates. An empty or null name means the default
// "atom_templates.dat", looked for in the working folder, $ZAM_DATA and the
// library's data folder. A malformed line (a field count other than 10, a
// name longer than 4, a value that is not a number) is reported naming the
// file and line and skipped. Returns the number of templates, 0 with the
// failure reported when the file cannot be read.
int zam_open_template(const char* file);
// The first template of residue and hydrogen: its index, with the parent and
// reference names (5 bytes each; null outputs skipped); -1 when there is
// none (outputs untouched).
int zam_lookup_template(const char* residue, const char* hydrogen, char* parent, char* r1,
                        char* r2, char* r3);
// The first template of residue at index start or after it, or -1.
int zam_match_template(int start, const char* residue);
// The names of template k; 1, or 0 for a bad k (outputs untouched).
int zam_get_template(int k, char* hydrogen, char* parent, char* r1, char* r2, char* r3);
// Places template k's hydrogen for reference atoms at p1, p2, p3: its offset
// in their frame, scaled to the template's distance, written to out as three
// floats. Returns 1; 0 for a bad k or a zero offset (out untouched).
int zam_apply_template(int k, Point3D p1, Point3D p2, Point3D p3, float* out);

// The number of templates, and a copy of template k (1, or 0 for a bad k).
int zam_template_count();
int zam_template_entry(int k, _zam_h_template* out);
// The template that describes a hydrogen at h: its offset in the frame of
// p1, p2, p3 and its distance from the parent at parent (the inverse of
// zam_apply_template when p1 is the parent).
void zam_measure_template(Point3D p1, Point3D p2, Point3D p3, Point3D parent, Point3D h,
                          float offset[3], float* distance);
