// Colour-space fields of two-base-encoding reads: the colour calls in "CS"
// (the primer base, then one colour "0" to "4" per base, in sequencing
// order) and their qualities in "CQ" (one character per colour).
//
// Positions are query positions of the stored sequence, which is on the
// forward reference strand; for a reverse-strand record sequencing order
// runs the other way, so the lookups mirror the index.  Every lookup returns
// 0 when the field is missing, is not a string (type Z) ending inside the
// record, or is too short for the position asked for.
#pragma once

#include "bam/bam.h"

// Colour at query position `i`.
char bam_aux_getCSi(const bam1_t* b, int i);
// Colour quality at query position `i`, as stored (no offset removed).
char bam_aux_getCQi(const bam1_t* b, int i);
// A 0, C 1, G 2, T 3 (either case), anything else 4.
int bam_aux_nt2int(char a);
// Colour of the transition from base `a` to base `b`: "4" when either is not
// A, C, G or T, else "0123"[code(a) ^ code(b)].
char bam_aux_ntnt2cs(char a, char b);
// "-" when the colour at query position `i` agrees with the bases it joins
// (the preceding base in sequencing order and the base at `i`), otherwise
// that colour.
char bam_aux_getCEi(const bam1_t* b, int i);
