// Moving an input to the key frame at or before a time: the one way the
// split, its check, the smart copy's readers, the segments' pictures and the
// player seek their inputs.
//
// A seek by time lands on a key frame at or before the time asked for; the
// reader decodes from there and drops what lies before the time. Some
// demuxers land late: MPEG transport and program streams find a time by
// reading their bytes and their times may jump, so the key frame they land on
// can lie after the time (SeekLandsLate). Readers that must not miss a picture
// aim a lead before the time and step further back while they land late
// (TSeekLeads, SeekSteppingBack); such a stream's beginning is its first byte
// (SeekToBeginning). Which decoded pictures a reader then keeps is
// BeforeTarget's rule, in one of its two modes.
//
// Ownership: each call borrows the format context; nothing is kept.
// Threads: the thread that reads the context, like every call on it.
#pragma once

#include <cstdint>
#include <functional>

#include "binding/AVPtr.h"

namespace kelvane {

// How far before a time a seek into a stream that lands late aims when it
// seeks only once (µs): longer than such a stream's groups of pictures.
constexpr int64_t kLateLandingLead = 10'000'000;

// Where the times of `input` begin (µs): its start time, 0 without one.
int64_t InputOrigin(const AVFormatContext* input);

// Whether a seek by time in `input` may land after the key frame asked for,
// or anywhere (MPEG transport and program streams).
bool SeekLandsLate(const AVFormatContext* input);

// To the key frame at or before `at`: µs on the file's time line (its start
// time included) with `stream` -1, the demuxer choosing whose key frames
// count; otherwise `at` is in that stream's time base and its key frames
// count. The library's result (< 0: not moved, or moved nowhere useful).
int SeekKeyFrame(AVFormatContext* input, int64_t at, int stream = -1);

// To a point near `at` (µs, start time included) no later than `latest`
// (INT64_MAX: on either side), with the library's seek flags (any picture,
// by frame number, by byte position). The player's seeks, which the user's
// choices steer.
int SeekNear(AVFormatContext* input, int64_t at, int64_t latest, int flags);

// To a byte position of the file.
int SeekToByte(AVFormatContext* input, int64_t position);

// Back to the first packet, as if the input had just been opened: a stream
// that lands late from its first byte, others to the key frame at their
// start.
int SeekToBeginning(AVFormatContext* input);

// How far before a time a seek aims (µs): `First`, and while the landing is
// late, further back: at once to `Least` if the lead was shorter, otherwise
// twice as far, as long as the lead is at most `Last`.
struct TSeekLeads {
  int64_t First = 0;
  int64_t Least = 0;
  int64_t Last = INT64_MAX;

  int64_t Next(int64_t lead) const { return lead < Least ? Least : 2 * lead; }
  // The lead after `steps` steps back.
  int64_t Lead(int steps) const;
};

// What a reader found where a seek landed.
enum TSeekLanding {
  slEarly,    // everything it needs lies after the landing: done
  slLate,     // something it needs lies before it: step further back
  slUnusable  // what it read cannot be trusted: stop seeking
};

struct TSteppedSeek {
  enum TOutcome {
    soLanded,       // the last landing was early
    soNoneEarly,    // the leads reached the file's beginning or the last lead
    soSeekFailed,   // the library could not seek
    soUnusable      // the reader found the landing unusable
  };
  TOutcome Outcome = soNoneEarly;
  int64_t Lead = 0;  // of the last seek made
};

// Seeks to the key frame at or before `at` - lead (µs, start time included)
// for each lead of `leads` in turn, and asks `landing` (given the lead) what
// it finds there, until it is early. Stops without a seek once `at` - lead is
// at or before `floor`. `stream` as for SeekKeyFrame; the time is rescaled to
// it. The caller reads from the beginning when no landing was early.
TSteppedSeek SeekSteppingBack(AVFormatContext* input, int64_t at, int64_t floor,
                              const TSeekLeads& leads, int stream,
                              const std::function<TSeekLanding(int64_t lead)>& landing);

// The pictures decoded after a seek to a target time: which lie before the
// ones a reader keeps. Times are the pictures' best-effort timestamps in the
// target's scale (a stream's time base or µs); a picture without a time
// (AV_NOPTS_VALUE) lies before.
enum TTargetRule {
  // Everything from the first picture at or after the target is kept: a
  // split's first picture, the check's picture at a mark.
  trFirstAtOrAfter,
  // The picture on screen at the target is kept: the last one at or before
  // it. Each such picture is held in place of the one before until a picture
  // after the target shows which was the last (or the input ends); when the
  // very first lies after the target, that one is kept. The player's exact
  // seeks and the segments' pictures.
  trCovering
};

// Whether the picture at `at` lies before what is kept for `target`: dropped
// (trFirstAtOrAfter), or held as the candidate for the target (trCovering).
bool BeforeTarget(int64_t at, int64_t target, TTargetRule rule);

// Whether the first picture decoded after a seek lies after the target: the
// seek landed too late for the picture covering the target.
inline bool LandedPastTarget(int64_t first_at, int64_t target) {
  return !BeforeTarget(first_at, target, trCovering);
}

}  // namespace kelvane
