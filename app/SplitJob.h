// One split as plain data: everything the window shows that decides the
// output file, copied when Start is pressed, with the settings lists' choices
// read once as values (TSplitSettings). A job can be checked and logged
// before anything runs; BuildSplitPlan turns it into the output path and the
// two option records of the one conversion task.
//
// Plain data and functions of it (BuildSplitPlan looks at which output names
// exist and, for "Original Size", asks the codec library which size the video
// encoder takes); any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/SegmentList.h"
#include "app/SplitSettings.h"
#include "engine/OptionRecords.h"
#include "engine/core/SmartCut.h"

namespace kelvane {

struct TSplitJob {
  std::string InputFile;     // the opened file's path
  std::string OutputFolder;  // the chosen folder, as shown
  bool Overwrite = false;    // "Overwrite Existing File with same name"

  std::string FormatText;     // the output format list's text (the preset's name)
  std::string ContainerName;  // the preset's container, "3GP", "MP4", ...

  // What the probe said about the input when it was opened.
  TPictureSize SourceSize;      // the pictures as stored
  // The clockwise turn (0, 90, 180, 270) the source's display matrix asks for.
  // The output keeps it as its own display matrix when the pictures keep
  // their size ("Original Size") in a container that stores one; otherwise
  // the pictures are turned upright and sized for their upright shape.
  int32_t SourceRotation = 0;
  TWholeFrameRate SourceFrameRate = -1;
  std::string SourceDuration;   // whole seconds, "83"
  int64_t SourceDurationUs = -1;  // the same in µs; -1 unknown

  // The chosen entries of the settings lists, as shown: for the log and the
  // stored settings. The plan reads Settings, made of them once.
  std::string VideoQuality;  // "Normal": today's formats' constant quality
  std::string VideoCodec;
  std::string VideoBitrate;
  std::string VideoSize;
  std::string FrameRate;
  std::string AudioCodec;
  std::string AudioBitrate;
  std::string SampleRate;
  std::string AudioChannels;
  int32_t LetterBoxIndex = 1;  // 0 "None", 1 "Add LetterBox"
  int32_t Volume = 100;        // the volume field, 0..200
  // The fields above as values (ReadSplitSettings), set where the job is
  // made; whoever changes them afterwards reads them again.
  TSplitSettings Settings;

  // The marks: seconds with "." and two decimals; both "0.00" is the whole file.
  std::string StartMark = "0.00";
  std::string EndMark = "0.00";
  // The exact times (µs) of marks set from the player, while their panels
  // still show the text they were set with; -1 for a typed mark. The split
  // then starts (ends) at that very picture rather than at the rounded text.
  int64_t StartExactUs = -1;
  int64_t EndExactUs = -1;

  // The cut keeps the source's codecs and, where it can be written, its
  // container: groups of pictures inside the marks are copied, the edges
  // re-encoded to match (the engine's smart copy). The codec, size and rate
  // entries above are not used then.
  bool SmartCopy = false;

  // Segments to split in one go instead of the marks: one file per segment,
  // or with JoinSegments one file of them all in list order.
  TSegmentList Segments;
  bool JoinSegments = false;
  // Added to the input's name for the output's: " - Intro" makes
  // "clip - Intro.mp4" (the unique-name rule still applies).
  std::string NameSuffix;

  // One line per field, for the log.
  std::string Describe() const;
};

// Whether the job keeps the source's codecs and container: SmartCopy, or the
// format "Same as Source - Lossless (*.*)".
bool IsSmartCopy(const TSplitJob& job);

// What a job becomes: the output path and the records for AddTask / SetOutput.
struct TSplitPlan {
  std::string OutputPath;
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
};

// A mark in milliseconds: whole seconds × 1000 plus the first two decimals
// (0.46 gives 460, 0.4 gives 400, 0.467 gives 460). Nothing for a text that is
// not seconds with a decimal point or that does not fit 32 bits.
std::optional<int32_t> MarkToMilliseconds(const std::string& text);

// The output path of a job: the input's name with the container's extension in
// the output folder. Without overwriting, and whenever the path would be the
// input file itself, the first free "-n" name (UniqueOutputName).
std::string OutputPathFor(const TSplitJob& job);

// The message for a split without an input file.
std::string NoInputMessage();
// The message for marks whose end lies before their start.
std::string EndBeforeStartMessage();
// Why the output folder as shown cannot take the output: it is empty, the
// folder its trimmed text names does not exist, or no file can be made in it
// (read-only). Empty when it can.
std::string OutputFolderProblem(const std::string& folder);

// Fills `plan` from `job`. False with a message for the user when a value
// cannot be used (a mark without a decimal point, a bitrate list without a
// selection, ...); nothing has been started then.
bool BuildSplitPlan(const TSplitJob& job, TSplitPlan& plan, std::string& message);

// One line of what the planned file will be, for the window and the command
// line: "H.264 1920x1080 30 fps, quality 22, AAC 160 Kbps", "MPEG-4 352x288
// 25 fps, 1200 Kbps, AMR 7.4 Kbps", "MP3 128 Kbps". The picture size is the
// whole frame, bars included; "quality N" is the encoder's constant quality
// when the option lines set one. Pictures that keep the source's times (no
// frame rate of their own) show `source_frame_rate`, when it is known.
std::string ExplainOutput(const TOutputOptions& out, const std::string& source_frame_rate = {});

// A smart copy's forecast as the window and the command line say it: "lossless
// copy", "re-encodes 0.8 s at the start and 1.2 s at the end", or "re-encodes
// all: <why>".
std::string ExplainSmartCut(const TSmartCutForecast& forecast);

// The forecasts of a segment list's smart copies in one line: "3 segments:
// lossless copy", "3 segments: re-encodes 1.9 s at their edges", "3 segments:
// segment 2 re-encodes all: <why>" ("re-encodes all" when every one does);
// `joined` (one joined file): "3 segments joined: ...", or "3 segments: cannot
// be joined without re-encoding them: <why>" when one cannot be copied in part.
std::string ExplainSegmentCuts(const std::vector<TSmartCutForecast>& forecasts, bool joined);

// The line of what the planned file will be: ExplainOutput, or for a smart
// copy of a file that can be read, what the cut re-encodes
// (ForecastSmartCut over the input's key frames near the marks; reads the
// input), or with a segment list the list's cuts (ExplainSegmentCuts).
// `forecast_cuts` reads the forecasts: ForecastSmartCuts, or a view's memo of
// it, so that a long list reads again only the segments that changed.
using TForecastCuts = std::function<std::vector<TSmartCutForecast>(
    const std::string& input, const std::string& output_name,
    const std::vector<std::pair<int64_t, int64_t>>& cuts)>;
std::string ExplainSplit(const TSplitJob& job, const TSplitPlan& plan,
                         const TForecastCuts& forecast_cuts = ForecastSmartCuts);

// The size a picture of `source_size` takes inside the box `box` ("<w>x<h>")
// with its own shape, for today's formats: a portrait source fits the box
// turned, and a source that fits already keeps its size. `box` when the
// source's size is not known.
std::string FittedSize(const std::string& source_size, const std::string& box);

}  // namespace kelvane
