#include "engine/SplitCheck.h"
#include "engine/SplitCheckRead.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/Bitmap.h"
#include "binding/FFmpegLoader.h"
#include "binding/KeyFrameSeek.h"
#include "binding/PictureRotation.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/SmartCut.h"

namespace kelvane {
using namespace split_check;
namespace {

// Which of the source's pictures `before`, `at` and `after` the output's
// `picture` is: 0 `at`, -1 `before`, +1 `after`; nothing when none is alike.
std::optional<int> WhichPicture(const TThumb& picture, const TThumb& before, const TThumb& at,
                                const TThumb& after) {
  const double none = std::numeric_limits<double>::max();
  const double on = Distance(picture, at);
  const double earlier = before.empty() ? none : Distance(picture, before);
  const double later = after.empty() ? none : Distance(picture, after);
  double best = on;
  int offset = 0;
  if (earlier < best * kClearlyCloser) {
    best = earlier;
    offset = -1;
  }
  if (later < best * kClearlyCloser && later < on * kClearlyCloser) {
    best = later;
    offset = 1;
  }
  if (best >= kSamePicture) return std::nullopt;
  return offset;
}

void ComparePictures(const TOutputFacts& output, const TSourcePictures& source,
                     TSplitCheck& check) {
  if (output.FirstPicture && !source.At.empty()) {
    const auto offset = WhichPicture(*output.FirstPicture, source.Before, source.At, source.After);
    check.PictureFound = offset.has_value();
    check.FrameOffset = offset.value_or(0);
  }
  // At another frame rate the last picture is whichever the rate's times
  // land on.
  if (output.LastPicture && !source.LastAt.empty() && !check.RateChanged) {
    check.LastPictureCompared = true;
    const auto offset =
        WhichPicture(*output.LastPicture, source.LastBefore, source.LastAt, source.LastAfter);
    check.LastPictureFound = offset.has_value();
    check.LastFrameOffset = offset.value_or(0);
  }
}

void CompareCounts(const TOutputFacts& output, const TSourcePictures& source, TSplitCheck& check) {
  check.Frames = output.Frames;
  if (source.Frames < 0) return;
  const AVRational in{source.FrameRateNum, source.FrameRateDen}, out = output.FrameRate;
  check.RateChanged = in.num > 0 && out.num > 0 &&
                      std::fabs(av_q2d(out) / av_q2d(in) - 1.0) > 0.01;
  check.ExpectedFrames =
      check.RateChanged ? std::llround(double(source.Frames) * av_q2d(out) / av_q2d(in))
                        : source.Frames;
}

void CompareSound(const TSplitCheckRequest& request, const TOutputFacts& output,
                  const TSourcePictures& source, TSplitCheck& check) {
  check.HasAudio = output.HasAudio && output.AudioEndUs > INT64_MIN;
  if (!check.HasAudio) return;
  int64_t start = 0, end = 0;
  int64_t sound_start = output.AudioStartUs, sound_end = output.AudioEndUs;
  if (check.HasVideo && output.FirstPicture && output.VideoEndUs > INT64_MIN) {
    start = output.FirstPictureUs;
    end = output.VideoEndUs;
    // Against the end of the segment's pictures at the output's rate, which
    // a picture too many or too few (counted on their own) does not move.
    // At a variable rate, against the segment's length.
    if (request.OutputEndUs >= 0 && request.EndUs >= 0) {
      // A part of a joined file runs from join to join, as long as its
      // segment: its sound fills it, while its first picture comes as long
      // after the join as the source's after the start mark (a mark between
      // two pictures). Sound going on across a join is in place there.
      start = output.FirstPictureUs - source.FirstPictureLeadUs;
      end = start + request.EndUs - request.StartUs;
      if (output.SoundFromBefore) sound_start = start;
      if (output.SoundIntoNext) sound_end = end;
    } else if (source.VariableRate && request.EndUs >= 0) {
      end = start + request.EndUs - request.StartUs;
    } else if (check.ExpectedFrames >= 0 && output.FrameRate.num > 0) {
      end = start + avutil.av_rescale(check.ExpectedFrames * AV_TIME_BASE, output.FrameRate.den,
                                      output.FrameRate.num);
    }
  } else {
    start = output.AudioStartUs;  // against the segment's length only
    end = request.EndUs < 0 ? output.AudioEndUs
                            : output.AudioPacketStartUs + request.EndUs - request.StartUs;
  }
  check.AudioStartMs = double(sound_start - start) / 1000.0;
  // Containers state the sound's length in whole coded frames, the last one
  // filled up with silence: the sound ends in place when the segment ends
  // within its last frame.
  const int64_t last_frame_start = sound_end - output.AudioFrameUs;
  int64_t off = 0;
  if (end > sound_end) off = sound_end - end;
  if (end < last_frame_start) off = last_frame_start - end;
  check.AudioEndMs = double(off) / 1000.0;
}

// "+3", "0", "-2".
std::string Signed(int64_t value) {
  std::string text = std::to_string(value);
  if (value > 0) text.insert(text.begin(), '+');
  return text;
}

std::string OffsetText(int offset) {
  return "off by " + std::to_string(offset) + (std::abs(offset) == 1 ? " frame" : " frames");
}

std::string SignedMs(double ms) { return Signed(std::llround(ms)) + " ms"; }

}  // namespace

std::vector<std::string> TSplitCheck::Mismatches() const {
  std::vector<std::string> found;
  if (!Done) return found;
  if (!Parts.empty()) {
    for (size_t i = 0; i < Parts.size(); ++i) {
      const std::vector<std::string> part = Parts[i].Mismatches();
      for (const std::string& text : part) {
        found.push_back("segment " + std::to_string(i + 1) + ": " + text);
      }
      if (!part.empty() && !Parts[i].Why.empty()) {
        found.push_back("segment " + std::to_string(i + 1) + ": " + Parts[i].Why);
      }
    }
  }
  if (CopiedPictures >= 0 && IdenticalPictures != CopiedPictures) {
    found.push_back(std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
                    " copied pictures identical to the source's");
  }
  if (!Parts.empty()) return found;
  if (HasVideo) {
    if (!PictureFound || FrameOffset != 0) {
      found.push_back("first picture " + (PictureFound ? OffsetText(FrameOffset) : "not found"));
    }
    if (LastPictureCompared && (!LastPictureFound || LastFrameOffset != 0)) {
      found.push_back("last picture " +
                      (LastPictureFound ? OffsetText(LastFrameOffset) : "not found"));
    }
    if (std::llabs(DurationErrorFrames()) > 1) {
      found.push_back(std::to_string(Frames) + " frames of " + std::to_string(ExpectedFrames) +
                      " (" + Signed(DurationErrorFrames()) + ")");
    }
  }
  if (HasAudio && std::fabs(AudioStartMs) > AudioToleranceMs) {
    found.push_back("sound " + SignedMs(AudioStartMs) + " at the start");
  }
  if (HasAudio && std::fabs(AudioEndMs) > AudioToleranceMs) {
    found.push_back("sound " + SignedMs(AudioEndMs) + " at the end");
  }
  return found;
}

bool TSplitCheck::Matched() const { return Done && Mismatches().empty(); }

std::string TSplitCheck::PictureText() const {
  if (!HasVideo) return "no pictures";
  std::string text = !PictureFound ? "not found" : FrameOffset == 0 ? "" : OffsetText(FrameOffset);
  if (LastPictureCompared && (!LastPictureFound || LastFrameOffset != 0)) {
    text += (text.empty() ? "" : ", ") + std::string("last picture ") +
            (LastPictureFound ? OffsetText(LastFrameOffset) : "not found");
  }
  return text.empty() ? "matched" : text;
}

std::string TSplitCheck::Summary() const {
  if (!Done) return "the new file could not be checked: " + Problem;
  if (!Parts.empty()) {
    std::string text = std::to_string(Parts.size()) + " segments: ";
    const std::vector<std::string> found = Mismatches();
    if (found.empty()) {
      text += "pictures matched at every join";
    } else {
      for (size_t i = 0; i < found.size(); ++i) text += (i > 0 ? "; " : "") + found[i];
    }
    if (HasVideo) {
      text += "; " + std::to_string(Frames) + " frames of " + std::to_string(ExpectedFrames);
    }
    if (HasAudio && found.empty()) text += "; sound within 5 ms at every join";
    if (CopiedPictures >= 0 && found.empty())
      text += "; " + std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
              " copied pictures identical to the source's";
    return text;
  }
  std::string text = PictureText();
  // "matched" alone reads as the verdict on the whole file.
  if (text == "matched" && !Matched()) text = "pictures in place";
  if (HasVideo) {
    text += "; " + std::to_string(Frames) + " frames";
    if (ExpectedFrames >= 0) {
      text += " of " + std::to_string(ExpectedFrames);
      if (DurationErrorFrames() != 0) text += " (" + Signed(DurationErrorFrames()) + ")";
    }
  }
  if (HasAudio) {
    text += "; sound " + SignedMs(AudioStartMs) + " at the start, " + SignedMs(AudioEndMs) +
            " at the end";
  }
  if (CopiedPictures >= 0) {
    text += "; " + std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
            " copied pictures identical to the source's";
  }
  return text;
}

std::string TSplitCheck::StatusText() const {
  if (!Done) return "Warning: " + Summary();
  if (Matched()) return "Check: " + Summary();
  std::string text = "Warning: the new file does not match its source: ";
  const std::vector<std::string> found = Mismatches();
  for (size_t i = 0; i < found.size(); ++i) text += (i > 0 ? "; " : "") + found[i];
  return text;
}

namespace {

// A smart copy: its copied pictures are the source's packets, byte for byte.
void ProveCopies(const TSplitCheckRequest& request, TSplitCheck& check) {
  const TCopyProof proof = ProveCopiedPackets(request.SourceFile, request.OutputFile,
                                              request.StartUs, request.EndUs, request.Stop);
  StopIfAsked(request);
  if (!proof.Problem.empty()) throw TCheckFailure(proof.Problem);
  check.CopiedPictures = request.CopiedPictures;
  check.IdenticalPictures = proof.Identical;
}

}  // namespace

TSplitCheck CheckSplit(const TSplitCheckRequest& request, const TSourcePictures& source) {
  const auto began = std::chrono::steady_clock::now();
  TSplitCheck check;
  check.SourceMs = source.ReadMs;
  try {
    StopIfAsked(request);
    const TOutputFacts output = ReadOutput(request);
    check.HasVideo = output.HasVideo;
    if (check.HasVideo) {
      if (!source.Read) throw TCheckFailure(source.Problem);
      CompareCounts(output, source, check);
      ComparePictures(output, source, check);
    }
    CompareSound(request, output, source, check);
    if (request.CopiedPictures >= 0) ProveCopies(request, check);
    check.Done = true;
  } catch (const TCheckFailure& failure) {
    check.Problem = failure.what();
  }
  check.CheckMs = MsSince(began);
  return check;
}

TSplitCheck JoinedCheck(const std::vector<TSplitCheck>& parts) {
  TSplitCheck joined;
  joined.Done = !parts.empty();
  joined.ExpectedFrames = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const TSplitCheck& part = parts[i];
    if (!part.Done && joined.Done) {
      joined.Done = false;
      joined.Problem = "segment " + std::to_string(i + 1) + ": " + part.Problem;
    }
    joined.HasVideo = joined.HasVideo || part.HasVideo;
    joined.HasAudio = joined.HasAudio || part.HasAudio;
    joined.Frames += part.Frames;
    if (part.ExpectedFrames >= 0 && joined.ExpectedFrames >= 0) {
      joined.ExpectedFrames += part.ExpectedFrames;
    } else {
      joined.ExpectedFrames = -1;
    }
    // The first picture of each part: the first one off says how.
    if (i == 0) joined.PictureFound = true;
    if (joined.PictureFound && joined.FrameOffset == 0) {
      joined.PictureFound = part.PictureFound || !part.HasVideo;
      joined.FrameOffset = part.FrameOffset;
    }
    joined.CheckMs += part.CheckMs;
    joined.SourceMs += part.SourceMs;
  }
  joined.Parts = parts;
  return joined;
}

TSplitCheck CheckJoined(std::vector<TSplitCheckRequest> parts,
                        const std::vector<TSourcePictures>& sources) {
  // Some muxers move every time of a file on so that none is negative (a
  // sound whose first packet starts before the first picture): the joins lie
  // that much later, which the file's first picture, as far after its
  // beginning as the first segment's after its start mark, shows.
  int64_t origin = 0;
  bool fixed_rate = false;  // pictures on the frame rate's slots, without times of their own
  if (!parts.empty() && !sources.empty()) {
    try {
      TInputContext input;
      OpenFile(parts.front().OutputFile, input);
      AVFormatContext* ic = input.Get();
      fixed_rate = std::strcmp(ic->iformat->name, "avi") == 0;
      const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      AVPacketPtr packet(avcodec.av_packet_alloc());
      while (video >= 0 && avformat.av_read_frame(ic, packet.get()) >= 0) {
        const int64_t at = PacketTime(packet.get());
        const bool first = packet->stream_index == video && at != AV_NOPTS_VALUE;
        // A transport stream's muxing delay is added where its parts are read.
        if (first) {
          origin = ToUs(at, ic->streams[video]->time_base) - sources[0].FirstPictureLeadUs -
                   OutputOrigin(ic);
        }
        avcodec.av_packet_unref(packet.get());
        if (first) break;
      }
    } catch (const TCheckFailure&) {
      // The part's own check names what cannot be read.
    }
  }
  std::vector<TSplitCheck> checks;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) parts[i].OutputStartUs += origin;
    if (parts[i].OutputEndUs >= 0) parts[i].OutputEndUs += origin;
    checks.push_back(i < sources.size() ? CheckSplit(parts[i], sources[i]) : CheckSplit(parts[i]));
    if (fixed_rate && i > 0 && i < sources.size() && sources[i].FirstPictureLeadUs > 0) {
      checks.back().Why =
          "AVI holds pictures only at its fixed rate, so a part whose start mark lies between "
          "two pictures cannot have both its first picture and its sound at the join";
    }
  }
  return JoinedCheck(checks);
}

TSplitCheck CheckSplit(const TSplitCheckRequest& request) {
  return CheckSplit(request, ReadSourcePictures(request));
}

void ProveJoinedCopies(const std::vector<TSplitCheckRequest>& parts, int64_t copied,
                       TSplitCheck& joined) {
  if (parts.empty() || copied < 0 || !joined.Done) return;
  std::vector<std::pair<int64_t, int64_t>> stretches;
  for (const TSplitCheckRequest& part : parts) stretches.emplace_back(part.StartUs, part.EndUs);
  const TCopyProof proof = ProveCopiedParts(parts[0].SourceFile, parts[0].OutputFile, stretches,
                                            parts[0].Stop);
  if (parts[0].Stop != nullptr && parts[0].Stop->load()) {
    joined.Done = false;
    joined.Problem = kCheckStopped;
    return;
  }
  if (!proof.Problem.empty()) {
    joined.Done = false;
    joined.Problem = proof.Problem;
    return;
  }
  joined.CopiedPictures = copied;
  joined.IdenticalPictures = proof.Identical;
}

}  // namespace kelvane
