// The chosen output size turned into a picture size plus bars that keep the
// source's shape: bars above and below for a source wider than the target
// shape (letterbox), left and right for a narrower one (pillarbox). The bars
// are equal on both sides and even, so the picture plus its bars fill the
// target exactly; the picture may be a pixel or two larger than its exact
// scaled size because the bar is made even downwards.
//
// "Original Size" is the source's size made even, without bars: encoders take
// even sizes only, and a source of 720x405 keeps its shape within a pixel.
//
// Sizes are texts "<width>x<height>" as the size list shows them, possibly
// with a label ("352x288 (CIF)"). Pure functions; any thread.
#pragma once

#include <string>

namespace kelvane {

enum TLetterboxDecision : int {
  lbNone = 0,        // no bars
  lbSideBars = 1,    // bars left and right
  lbTopBottom = 2,   // bars above and below
};

struct TLetterbox {
  // Inputs and the sizes the computation settles on.
  std::string LetterboxSourceSize;  // the opened file's size
  std::string TargetSize;           // the chosen size, "Original Size" resolved
  // Results.
  TLetterboxDecision Decision = lbNone;
  std::string OutputSize;  // the picture's size inside the frame
  double BarSize = 0;      // width (side bars) or height (top/bottom) of one bar
};

// `source_size` is the opened file's "<w>x<h>"; `video_size_text` the text of
// the chosen entry of the size list.
TLetterbox LetterboxDecision(const std::string& source_size, const std::string& video_size_text);

// The two bar computations over `box.LetterboxSourceSize` and
// `box.TargetSize`; they set OutputSize and BarSize. A value that cannot be
// computed (an odd target height, a text that is not a size) leaves no bars
// and the source size.
void TopBottomBars(TLetterbox& box);
void SideBars(TLetterbox& box);

// "352x288 (CIF)" as "352x288": the text before " (" when it has a "(".
std::string SizeWithoutLabel(const std::string& size);

// "<w>x<h>" as "<h>x<w>": the size of a picture given a quarter turn. A text
// that is no size comes back unchanged.
std::string SwappedSize(const std::string& size);

}  // namespace kelvane
