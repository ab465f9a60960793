// What the halves of the split check share: the small grey pictures it
// compares, the facts it reads from the output, and the reading helpers both
// the output's and the source's reading use. Engine-internal: only the
// SplitCheck*.cpp files include it.
//
// Plain data and free functions; any thread, like CheckSplit. A reading that
// fails or is asked to stop throws TCheckFailure, which the check's public
// functions turn into its Problem text.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/UnicodeProtocol.h"
#include "engine/SplitCheck.h"

namespace kelvane::split_check {

// Pictures are compared as grey pictures of this size.
constexpr int kThumbWidth = 64;
constexpr int kThumbHeight = 48;
// A picture is the source's when its grey values differ by less than this on
// average (of 255): coding and scaling leave a few; another scene leaves dozens.
constexpr double kSamePicture = 20.0;
// A neighbour counts as the better match only when it is clearly closer.
constexpr double kClearlyCloser = 0.8;

using TThumb = std::vector<uint8_t>;

struct TCheckFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Ends the reading when another thread asked the check to stop.
void StopIfAsked(const TSplitCheckRequest& request);

void OpenFile(const std::string& path, TInputContext& input);
AVCodecContextPtr OpenDecoder(const AVStream* stream);
int64_t MsSince(std::chrono::steady_clock::time_point began);
int64_t ToUs(int64_t value, AVRational time_base);
int64_t PacketTime(const AVPacket* packet);

// The picture as it is shown: turned as its stream's display matrix asks
// (`rotation`), the bars around it turned along.
TThumb ShownThumb(const AVFrame* frame, int32_t rotation, int top, int bottom, int left,
                  int right);
double Distance(const TThumb& a, const TThumb& b);

// Times of a part of a joined file may lie a rounding off the exact
// pictures' times; a picture is far longer than this.
constexpr int64_t kRoundingUs = 500;

// What the output holds, from its packets and its first picture.
struct TOutputFacts {
  bool HasVideo = false;
  std::optional<TThumb> FirstPicture;
  int64_t FirstPictureUs = 0;
  std::optional<TThumb> LastPicture;
  int64_t Frames = 0;
  int64_t VideoEndUs = INT64_MIN;
  AVRational FrameRate{0, 1};
  bool HasAudio = false;
  int64_t AudioStartUs = INT64_MAX;
  // Where the packets say the sound starts. Decoders that leave out their
  // priming themselves (MP3, Opus) give the first sound a later time, on a
  // line the packets' end is not on.
  int64_t AudioPacketStartUs = INT64_MAX;
  int64_t AudioEndUs = INT64_MIN;
  int64_t AudioFrameUs = 0;
  // A part's sound goes on from the part before, or into the next one.
  bool SoundFromBefore = false;
  bool SoundIntoNext = false;
};

// Where a file's times begin (µs): a transport stream's muxing delay; 0 for
// other files.
int64_t OutputOrigin(const AVFormatContext* ic);

// Reads the output (or the request's part of it) for its facts.
TOutputFacts ReadOutput(const TSplitCheckRequest& request);
// Reads the source's pictures at and around the marks.
TSourcePictures ReadSource(const TSplitCheckRequest& request);

}  // namespace kelvane::split_check
