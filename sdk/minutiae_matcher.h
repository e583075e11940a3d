// The SDK's minutiae matcher: compares two finger minutiae records (ISO or
// ANSI, any producer) and scores how many minutiae agree after the best rigid
// alignment. Pure functions; any thread; no allocation.
//
// Score scale: the number of minutiae pairs that agree in position (within
// kMatchDistancePx at 500 ppi) and direction (within kMatchAngleDeg) once one
// print is rotated and moved onto the other, a pair whose types differ
// (ending and bifurcation) counting a half, rounded down; 0 when either side
// has fewer than kMatchMinMinutiae. Identical records score their minutia
// count.
// kMatchThreshold is the lowest score that keeps the false match rate at or
// below 0.1 % on the virtual reader's prints, templates extracted from the
// pixels (measured by bench/extract).
#pragma once

#include <stdint.h>

#include "sdk/fingerprint_template.h"

inline constexpr int kMatchMinMinutiae = 4;
inline constexpr float kMatchDistancePx = 8.0f;
inline constexpr float kMatchAngleDeg = 15.0f;
inline constexpr uint32_t kMatchThreshold = 14;

// A minutia in the matcher's frame: pixels at 500 ppi, y pointing up,
// angle in radians counter-clockwise from +x.
struct MatcherMinutia {
  float x, y;
  float angle;
  uint8_t type;
};

// Converts view v of a parsed record into matcher minutiae (out must hold
// kMaxViewMinutiae). Returns the number written.
int MatcherMinutiaeFromView(const TemplateRecord& record, int view, MatcherMinutia* out);

// Score of two minutiae sets (up to kMaxViewMinutiae each; more are ignored).
uint32_t MatchMinutiae(const MatcherMinutia* a, int count_a, const MatcherMinutia* b, int count_b);

// Best score over the parsed views of the two records.
uint32_t MatchTemplateRecords(const TemplateRecord& a, const TemplateRecord& b);
