// The SDK's minutiae matcher: compares two finger minutiae records (ISO or
// ANSI, any producer) and gives a calibrated score. Pure functions; any
// thread; each comparison takes two heap blocks (at most about 50 KB
// together) and frees them before it returns; without them it scores 0.
// Of a print with more than 40 minutiae the 40 most reliable are compared
// (by their quality; without one, those nearest the middle).
//
// Score scale: the score s says how rarely two different fingers reach it,
// the same on every reader: the false match rate at threshold s is about
// 10^(-(s - 2) / 4), so 10 <-> 1 %, 14 <-> 0.1 %, 18 <-> 0.01 %,
// 22 <-> 0.001 % (docs/matching.md has the measured table). 0 means no
// evidence: a side with fewer than kMatchMinMinutiae minutiae, or no
// neighbourhood of one print resembling one of the other. Scores stop at
// kMatchScoreMax. Identical records of a normal print score far above any
// threshold.
#pragma once

#include <stdint.h>

#include "sdk/fingerprint_template.h"

inline constexpr int kMatchMinMinutiae = 4;
inline constexpr uint32_t kMatchThreshold = 14;  // false match rate 0.1 %
inline constexpr uint32_t kMatchScoreMax = 100;

// Threshold for a false match rate of 10^-decades (1 -> 10 %, 3 -> 0.1 %).
constexpr uint32_t MatchThresholdForFmrDecades(uint32_t decades) {
  return 2 + 4 * decades;
}

// A minutia in the matcher's frame: pixels at 500 ppi, y pointing up,
// angle in radians counter-clockwise from +x.
struct MatcherMinutia {
  float x, y;
  float angle;
  uint8_t type;
  uint8_t quality;  // 0 unknown, else 1..100
};

// Converts view v of a parsed record into matcher minutiae (out must hold
// kMaxViewMinutiae). Returns the number written.
int MatcherMinutiaeFromView(const TemplateRecord& record, int view, MatcherMinutia* out);

// What one comparison found: the raw similarity rests on these.
struct MatchEvidence {
  float local;    // 0..1: cylinder similarity after relaxation
  int paired;     // minutiae paired one to one once the prints are aligned
  int overlap_a;  // minutiae of a inside b's outline once aligned
  int overlap_b;  // and of b inside a's
  int count_a, count_b;
  // The same weighed by each minutia's quality (an unknown one counts 0.5):
  // pairs by the geometric mean of their two qualities.
  float paired_quality, overlap_quality_a, overlap_quality_b;
  float overlap_area;  // px^2 at 500 ppi: the two minutiae outlines' common part, aligned
};

// The evidence of two minutiae sets, the raw similarity it gives, and the
// evidence of the best-agreeing views of two records (for the benchmark's
// calibration data).
MatchEvidence MinutiaeEvidence(const MatcherMinutia* a, int count_a, const MatcherMinutia* b,
                               int count_b);
float SimilarityFromEvidence(const MatchEvidence& evidence);
MatchEvidence TemplateRecordsEvidence(const TemplateRecord& a, const TemplateRecord& b);

// Raw similarity of two minutiae sets, 0 or more (up to kMaxViewMinutiae
// each; more are ignored); 0 without evidence or when the working blocks
// cannot be had. ScoreFromSimilarity puts it on the score scale.
float MinutiaeSimilarity(const MatcherMinutia* a, int count_a, const MatcherMinutia* b,
                         int count_b);

// The calibrated score of a raw similarity (0 stays 0).
uint32_t ScoreFromSimilarity(float similarity);

// Calibrated score of two minutiae sets.
uint32_t MatchMinutiae(const MatcherMinutia* a, int count_a, const MatcherMinutia* b, int count_b);

// Best raw similarity and best score over the parsed views of the two records.
float TemplateRecordsSimilarity(const TemplateRecord& a, const TemplateRecord& b);
uint32_t MatchTemplateRecords(const TemplateRecord& a, const TemplateRecord& b);
