// What the smart copy's files share (engine-internal: only the SmartCut*.cpp
// files include it): the NAL units of H.264 and H.265 and their parameter
// sets, MPEG-2's and MPEG-4 Part 2's in-band headers, AV1's sequence header
// and the encoder that writes the source's, the encoder profiles that match a
// source's, which key frames start a clean group of pictures, and the
// reasons a cut is re-encoded whole.
//
// Plain functions over borrowed bytes: a TNal points into data its caller
// keeps alive. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/FFmpegLoader.h"

namespace kelvane {
struct TSmartSource;
}

namespace kelvane::smart_cut {

// NAL unit types, H.264 and H.265.
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;
constexpr int kHevcIdrWithLeading = 19;
constexpr int kHevcIdrAlone = 20;
constexpr int kHevcVps = 32;
constexpr int kHevcSps = 33;
constexpr int kHevcPps = 34;
constexpr int kHevcAud = 35;

struct TNal {
  const uint8_t* Data;
  size_t Size;
  bool Hevc;
  int Type() const {
    if (Size == 0) return -1;
    return Hevc ? (Data[0] >> 1) & 0x3f : Data[0] & 0x1f;
  }
  bool IsIdr() const {
    const int t = Type();
    return Hevc ? t == kHevcIdrWithLeading || t == kHevcIdrAlone : t == kNalIdr;
  }
  bool IsSps() const { return Type() == (Hevc ? kHevcSps : kNalSps); }
  bool IsParameterSet() const {
    const int t = Type();
    return Hevc ? t == kHevcVps || t == kHevcSps || t == kHevcPps : t == kNalSps || t == kNalPps;
  }
  bool IsAud() const { return Type() == (Hevc ? kHevcAud : kNalAud); }
};

// The NAL units of H.264 or H.265 data, with start codes (`length_size` 0) or
// with length fields of `length_size` bytes.
std::vector<TNal> SplitNals(const uint8_t* data, size_t size, int length_size, bool hevc = false);
// The id an SPS or PPS gives itself.
uint32_t ParameterSetId(const TNal& nal);
void AppendStartCode(std::vector<uint8_t>& out, const TNal& nal);
void AppendLengthPrefixed(std::vector<uint8_t>& out, const TNal& nal, int length_size);
// The NAL units of an hvcC record (parameter sets, SEI), in its order; its
// VPS, SPS and PPS only.
std::vector<TNal> HvcCNals(const uint8_t* data, size_t size);
std::vector<TNal> HvcCParameterSets(const uint8_t* data, size_t size);

// The parameter sets of an avcC record, as NAL units into the record.
struct TAvcC {
  std::vector<TNal> Sps, Pps;
  size_t End = 0;  // where the optional tail (chroma format, bit depths) begins
};

bool ParseAvcC(const uint8_t* data, size_t size, TAvcC& out);
// A parameter set as an avcC record lists it: a 16-bit length, then the unit.
void AppendSet(std::vector<uint8_t>& out, const TNal& nal);
// The encoders' names of a source's H.264 and H.265 profiles.
const char* X264Profile(int profile);
const char* X265Profile(int profile);
bool StartsWithStartCode(const uint8_t* data, int size);

const char kWithinOneGroup[] = "the cut lies within one group of pictures";
// Why no key frame inside the cut starts a clean group, in the terms of the
// source's codec `id`.
std::string NoCleanGroupReason(AVCodecID id);

// Whether a packet of a stream described by `par` starts a group of pictures
// that needs nothing before it: a key frame holding an IDR picture.
bool IsCleanKeyFrame(const AVPacket* packet, const AVCodecParameters* par);

// How many packets of a clean group of pictures that the end mark `end`
// cuts can be copied: the packets (times in decoding order) before the first
// one at or after the end, when no later packet shows a picture before the
// end; 0 when the group's end has to be re-encoded.
size_t CopiedBeforeEnd(const std::vector<int64_t>& times, int64_t end);

// Caps an H.264 or H.265 (`hevc`) encoder's rate (its VBV) at what the
// source's level (`par`) allows, so that a constant quality does not reach
// past it; nothing for VP9 or an unknown level.
void CapToLevel(AVCodecContext* c, const AVCodecParameters* par, bool hevc);

// Whether the output format's name is among `names` (comma-separated).
bool FormatIs(const AVOutputFormat* format, const char* names);
// Why `codec` cannot take pictures in the source's pixel format `format`;
// empty when it can.
std::string PixelFormatObstacle(const AVCodec* codec, int format);

// x265's own settings, as its info SEI in an H.265 source's description
// lists them, in the form libx265's "x265-params" takes: those that shape
// its parameter sets and pictures, not its rate, threads or input; empty
// when the source does not name them.
std::string X265SourceParams(const AVCodecParameters* par);
// Sets up `c` (libx265) to write the parameter sets of the source `par`,
// which was made by x265 with `source_params` (X265SourceParams); the
// caller adds the quality.
void UseX265SourceParams(AVCodecContext* c, const AVCodecParameters* par,
                         const std::string& source_params);
// Why libx265 set up so does not write the source's very parameter sets,
// naming the first that differs; empty when it writes them byte for byte.
std::string X265ParameterSetsDiffer(const AVCodecParameters* par);

// The highest SPS or PPS id of an H.264 source's description (avcC or Annex B).
uint32_t HighestParameterSetId(const AVCodecParameters* par);

// MPEG-2 and MPEG-4 Part 2 (SmartCutMpegVideo.cpp), whose headers travel
// in the stream.
bool IsMpegVideo(AVCodecID id);
// Why such a source cannot be matched into `format`; empty when it can.
std::string MpegVideoObstacle(const AVCodecParameters* par, const AVOutputFormat* format);
// A key frame whose group needs nothing before it: MPEG-2's I picture right
// after a group header and shown first; MPEG-4's I-VOP where the stream has
// no B pictures or its group is closed.
bool IsCleanMpegKeyFrame(const AVPacket* packet, const AVCodecParameters* par);
// Whether a packet brings its own sequence header (MPEG-2) or VOL (MPEG-4)
// before its picture.
bool CarriesMpegHeaders(const AVPacket* packet, AVCodecID id);
// Where a packet's picture begins (its group or picture header): the headers
// before it set aside.
size_t MpegPictureStart(const uint8_t* data, size_t size, AVCodecID id);
// The source's headers from its description, to send before a copied key
// frame that does not carry them; empty when the description has none.
std::vector<uint8_t> MpegSourceHeaders(const AVCodecParameters* par);
// An edge encoder's options: a fixed quantiser `qscale`, like the source.
void SetMpegEdgeOptions(AVCodecContext* c, const AVCodecParameters* par, double qscale);

// The presentation times MPEG-2 packets lack where several pictures share
// one packet of a program stream: each picture's temporal reference (its
// place in its group, in the order shown) against the last picture of the
// group that had a time. Fed every packet of the stream in file order.
class TPictureClock;
// A clock for an MPEG-2 stream's packets; none for other codecs or an
// unknown frame rate.
std::unique_ptr<TPictureClock> MakePictureClock(const AVStream* stream);

class TPictureClock {
 public:
  // `duration`: one picture, in the stream's time base.
  explicit TPictureClock(int64_t duration) : duration_(duration) {}
  // The packet's presentation time, worked out when it has none;
  // AV_NOPTS_VALUE when nothing tells.
  int64_t Time(const AVPacket* packet);

 private:
  int64_t duration_;
  int64_t known_ = AV_NOPTS_VALUE;
  int known_reference_ = 0;
};
// The pictures an encoder makes, described like `stream`'s: size, pixel
// format (the encoder's first when it does not take the source's), aspect,
// colours, time base and rate (SmartCutEncoder.cpp).
void DescribeLikeSource(AVCodecContext* c, const AVCodec* codec, const AVStream* stream);
void OpenEncoder(AVCodecContext* c, const AVCodec* codec);

// AV1 (SmartCutAv1.cpp). The sequence header among the OBUs of `data` (a
// temporal unit), its payload; empty when there is none.
std::vector<uint8_t> Av1SequenceHeader(const uint8_t* data, size_t size);
// A key frame shown at once, in a temporal unit that opens with a sequence
// header: it needs nothing before it.
bool IsCleanAv1KeyFrame(const AVPacket* packet);
// A temporal unit that codes no frame of its own: it shows one decoded before.
bool Av1ShowsExisting(const AVPacket* packet);
// The sequence header of the first key frame of the AV1 stream `index`
// (read from the file's start); empty for another codec or none.
std::vector<uint8_t> Av1StreamHeader(AVFormatContext* input, int index);
std::vector<uint8_t> Av1StreamHeader(const std::string& name, int index);

// An AV1 encoder set up to write a source's sequence header.
struct TAv1Setup {
  std::string Encoder;  // empty: none can
  std::vector<std::pair<std::string, std::string>> Options;  // of its private class
  std::string Reason;   // why none can
};
// The first of the AV1 encoders whose header, tried on one picture like
// `stream`'s, is `source_header` in every field a decoder keeps; tried once
// per source and remembered.
TAv1Setup MatchAv1Encoder(const AVStream* stream, const std::vector<uint8_t>& source_header);
// The sequence header `source`'s key frames carry, else its description's.
std::vector<uint8_t> KnownAv1Header(const AVCodecParameters* par, const TSmartSource& source);
// Why AV1 described by `par` cannot be copied in part into `format`: the
// container, or (given `source`) no encoder matches the header its key
// frames carry (the description's when that is not known). `setup`, when
// given, receives the match.
std::string Av1Obstacle(const AVCodecParameters* par, const AVOutputFormat* format,
                        const TSmartSource* source, TAv1Setup* setup = nullptr);
// Makes the av1C record of `out` describe the stream with `header`, the one
// its key frames (copied and re-encoded alike) carry, where it held another
// (libsvtav1 describes its streams before its first picture, with fewer
// tools enabled than its key frames' header then has).
void DescribeWithAv1Header(AVCodecParameters* out, const std::vector<uint8_t>& header);
// Whether two sequence headers are the same in every field a decoder keeps.
bool SameAv1Header(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// Sets up an AV1 edge encoder as `setup` says, at the constant quality `quality`.
void SetAv1Options(AVCodecContext* c, const TAv1Setup& setup, double quality);

}  // namespace kelvane::smart_cut
