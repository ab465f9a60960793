// The plain records an application fills to describe one task: TInputOptions
// for its input file, TOutputOptions (with its metadata block TStreamInfo) for
// an output file.
//
// The caller owns its records; AddTask and SetOutput copy them into the task,
// so changing a record afterwards has no effect. Call ResetInputOptions /
// ResetOutputOptions (or default-construct) before filling one: every field
// starts at the value that means "not given".
//
// Times are milliseconds in the 32-bit fields and microseconds in the *Us
// fields; bit rates are bits/s. Threads: plain data, no sharing.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

struct TInputOptions {
  std::string FileName;      // empty: AddTask stores its own file-name argument
  std::string FileFormat;    // forced input format name
  int32_t StartTime = -1;    // ms, used when > 0
  int64_t StartTimeUs = -1;  // µs, used when > 0 (after StartTime)
  int32_t ProgramID = -1;    // program to keep, used when >= 0
  // Joining several inputs into one output (TOutputOptions::Join): only this
  // much of the input from its start time goes in (µs, used when > 0), and
  // the output gets a chapter of this title where the input's part begins
  // (in containers that carry chapters).
  int64_t JoinLengthUs = -1;
  std::string JoinTitle;
  std::string ExtOptions;    // option lines; only the general group is applied
  int32_t Reserved1 = 0;     // not read by the engine
  int32_t Reserved2 = 0;     // not read by the engine
};

// Metadata of an output file.
struct TStreamInfo {
  // Days since 30 December 1899, local time. 0: the current time; above 0:
  // this date-time becomes the output's recording timestamp; below 0: none.
  double Timestamp = -1.0;
  int32_t Year = -1;   // > 0: metadata "year"
  int32_t Track = -1;  // > 0: metadata "track"
  std::string Title, Author, Copyright, Comment, Album, Genre;  // non-empty: set
};

struct TOutputOptions {
  std::string FileName;      // empty: SetOutput stores its own file-name argument
  std::string Reserved0;     // not read by the engine
  std::string FileFormat;    // forced output format
  int32_t PacketSize = -1;   // > 0: library option "packetsize"
  int32_t MuxRate = -1;      // > 0: library option "muxrate"
  float MuxDelay = -1.0f;    // > 0: muxdelay, seconds
  float MuxPreload = -1.0f;  // > 0: muxpreload, seconds

  std::string AudioCodec;
  std::string AudioPreset;
  bool DisableAudio = false;
  int32_t AudioVolume = -1;      // >= 0: vol (256 = unchanged)
  int32_t AudioChannels = -1;    // > 0
  int32_t AudioSampleRate = -1;  // > 0
  int32_t AudioBitrate = -1;     // > 0: library option "ab"
  int32_t AudioBitrateTolerance = -1;  // > 0: library option "abt"
  std::string AudioLanguage;
  int32_t AudioSync = 0;  // always applied
  std::string AudioTag;

  std::string VideoCodec;
  std::string VideoPreset;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string AspectRatio;
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;  // >= 0 applied
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;      // >= 0 applied
  // 0x00BBGGRR: red in the lowest byte. The high byte (a system-colour marker
  // on other platforms) is ignored.
  uint32_t PadColor = 0;
  int32_t GopSize = -1;                // > 0: library option "gop"
  int32_t VideoBitrate = -1;           // > 0: library option "vb"
  int32_t VideoMaxRate = -1;           // > 0: "maxrate"
  int32_t VideoMinRate = -1;           // > 0: "minrate"
  int32_t VideoBitrateTolerance = -1;  // > 0: "bt"
  int32_t VideoBufferSize = -1;        // > 0: "bufsize"
  // Always applied: -1 automatic, 0 pass-through, 1 fixed rate, 2 variable
  // rate. With 0 or 2 and no FrameRate the pictures keep the source's times.
  int32_t VideoSync = -1;
  std::string VideoTag;
  std::string VideoFilters;
  // A source stored on its side (a display matrix on its video stream, as
  // phones record): true turns the pictures upright before they are scaled,
  // so FrameSize is the upright picture's size, and writes no matrix; false
  // keeps them as stored and writes the source's matrix on the output stream
  // (the MP4, MOV and 3GP muxers store it; others drop it).
  bool UprightPictures = false;

  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;

  bool CopyTimestamps = false;
  int32_t StartTime = -1;        // ms, > 0: pending start time
  int64_t StartTimeUs = -1;      // µs, > 0: pending start time
  int32_t RecordingTime = -1;    // ms, > 0: recording time and TotalOutputDuration
  int64_t RecordingTimeUs = -1;  // µs, > 0: likewise
  TStreamInfo Metadata;
  int32_t Target = 0;              // 1 vcd, 2 svcd, 3 dvd; other: none
  int32_t TargetNorm = 0;          // 1 pal, 2 ntsc, other: auto
  int32_t TargetFallbackNorm = 1;  // 1 pal, other: ntsc
  bool CustomHook = false;         // connect OnCustomHook
  bool BeforeHook = false;         // connect OnBeforeHook when CustomHook is false
  std::string HookRanges;          // "start-end" in ms, comma separated
  bool Join = false;               // join every input file of the task into this output
  // Option lines, all three groups at their places. The encoders' and
  // muxers' own options ("preset=fast", "crf=22", "movflags=+faststart") go
  // to the encoder the records (or earlier lines) name and to the muxer.
  std::string ExtOptions;
  int32_t Reserved1 = 0;           // not read by the engine
  int32_t Reserved2 = 0;           // not read by the engine
};

inline void ResetInputOptions(TInputOptions& options) { options = TInputOptions(); }
inline void ResetOutputOptions(TOutputOptions& options) { options = TOutputOptions(); }

}  // namespace kelvane
