// The settings lists' choices of a split as values: read once from the
// entries' texts when the job is made (ReadSplitSettings), and all that
// BuildSplitPlan reads of them. The texts themselves stay in the job for the
// log and the stored settings.
//
// A choice that cannot be used (no entry selected, a text that names no size
// or rate) carries the refusal the plan gives when it comes to that choice;
// a choice the format does not use (the video of an audio format, any list
// of a smart copy) is never refused.
//
// Plain data and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

struct TSplitJob;

// The opened file's facts as values, set once where the file is opened and
// read by the job; they become text only where they are shown or written to
// an option line.
// Its pictures' size as stored; -1 by -1 while no file is open.
struct TPictureSize {
  int32_t Width = -1;
  int32_t Height = -1;
  // "640x480"; empty while no file is open.
  std::string Text() const;
  // The size of a picture given a quarter turn.
  TPictureSize Swapped() const { return {Height, Width}; }
};
// Its frame rate, whole frames per second ("30" for 29.97); -1 unknown.
using TWholeFrameRate = int32_t;
// The rate as an option line takes it: "30"; empty when unknown.
std::string WholeRateText(TWholeFrameRate rate);

// The quality list's levels, in its order.
enum class TQualityLevel { Highest, Higher, Normal, Lower, Lowest };

// The letterbox list: "None" scales to the chosen size whatever the shape;
// "Add LetterBox" keeps the source's shape with bars.
enum class TLetterboxMode { None, Bars };

// The channels list: "Original" keeps the source's.
enum class TChannels { Source, Mono, Stereo };

// The size list: "Original Size", or a box of its own ("352x288 (CIF)" is
// 352 by 288).
struct TSizeChoice {
  bool Original = false;
  int32_t Width = 0;
  int32_t Height = 0;
  std::string Problem;  // why it cannot be used; empty when it can
  // "<width>x<height>"; empty for "Original Size".
  std::string Text() const;
};

// The frame rate list: "Auto" (the source's rate, or for today's formats each
// picture at its own time), or a rate of its own as a fraction whose
// denominator is the power of ten the list wrote it with ("29.97 fps" is
// 2997/100, "30.0 fps" 300/10), so that it reads back as shown.
struct TFrameRateChoice {
  bool Source = false;
  int64_t Num = 0;  // 0: none (an entry without a number)
  int64_t Den = 1;
  std::string Problem;
  // "29.97", "30.0", "15"; empty when there is none.
  std::string Text() const;
};

// A bit rate list: a rate, "Auto (quality)" (today's formats: the quality
// level rules), or none (a lossless codec's "Lossless").
struct TBitrateChoice {
  bool Quality = false;
  int32_t BitsPerSecond = 0;  // 0: none
  std::string Problem;
};

// The sample rate list: a rate, or "Original" (today's formats), the source's.
struct TSampleRateChoice {
  int32_t Hz = 0;  // 0: the source's
  std::string Problem;
};

struct TSplitSettings {
  std::string VideoEncoder;  // the codec library's encoder: "libx264", "mpeg4", ...
  TBitrateChoice VideoBitrate;
  TQualityLevel Quality = TQualityLevel::Normal;
  TSizeChoice Size;
  TFrameRateChoice FrameRate;
  TLetterboxMode Letterbox = TLetterboxMode::Bars;
  std::string AudioEncoder;  // "aac", "libopus", ...; empty when the format has no sound
  TBitrateChoice AudioBitrate;
  TSampleRateChoice SampleRate;
  TChannels Channels = TChannels::Source;
  int32_t Volume = 100;  // the volume field, percent of the source's loudness
};

// The settings of `job` from its lists' texts as shown, read the way its
// format means them: a format of today takes "Auto (quality)", "Original"
// sample rate and channels and a codec list without sound; a classic row
// wants a bit rate and a sample rate in every job.
TSplitSettings ReadSplitSettings(const TSplitJob& job);

}  // namespace kelvane
