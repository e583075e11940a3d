// Image measurements the synthetic-fingerprint tests share.
#pragma once

#include <vector>

#include "synth/synthetic_finger.h"

struct SynthImage {
  int width = 0, height = 0;
  std::vector<unsigned char> pixels;
  SynthImpression info{};
};

// Synthesizes req into *img; returns the generator's result code.
int Synthesize(const SynthRequest& req, SynthImage* img);

// Ridge direction (radians modulo pi, counter-clockwise on screen) of the
// image around (x, y) from the gradient structure tensor over a square of
// 2*radius+1 pixels; *coherence gets 0..1.
float RidgeOrientationAt(const SynthImage& img, int x, int y, int radius, float* coherence);

// Difference of two axes, radians in 0..pi/2.
float AxisDifference(float a, float b);
