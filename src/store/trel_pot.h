// Potential classes: five size classes 0-4 chosen by a structure's radius,
// each with the length scale its descriptor coefficients are sampled at and
// the letter used in coefficient file names; the rule that says which
// requested classes an object still lacks, and the printed form of a class set.
#pragma once

// Class of a structure of radius R (angstrom): 0 below 20, 1 below 30, 2
// below 40, 3 below 50, else 4. The bounds belong to the higher class.
int trel_potRadius(double radius);
// Scale of a class: 1.2, 1.0, 0.8, 0.6, 0.4; 1.0 outside 0-4.
double trel_potScale(int pot_class);
// Letter of a class: "A" to "E"; "B" outside 0-4. A static string.
const char* trel_potCode(int pot_class);
// Which classes requested by pots (slot c = 1 asks for class c; slot 0 = -1
// asks for the own class) are missing from flags. mask (int[5]) is cleared
// and receives 1 for each class to compute, -1 for a missing class that is
// computed only when it is the own class. 1 when something is missing, else 0.
int trel_potMask(const int* pots, int own, const int* flags, int* mask);
// "[f0,f1,f2,f3,f4]" into buffer (at least 12 bytes): "*" for a present own
// class, "1" for another present class, "0" for an absent one. Returns buffer.
char* trel_formatPots(const int* flags, int own, char* buffer);
