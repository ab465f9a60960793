// What the smart copy's files share (engine-internal: only the SmartCut*.cpp
// files include it): the NAL units of H.264 and H.265 and their parameter
// sets, AV1's sequence header and the encoder that writes the source's, the
// encoder profiles that match a source's, which key frames start a clean
// group of pictures, and the reasons a cut is re-encoded whole.
//
// Plain functions over borrowed bytes: a TNal points into data its caller
// keeps alive. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
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
// The VPS, SPS and PPS NAL units of an hvcC record, in its order.
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
const char kNoCleanGroup[] =
    "no clean group of pictures lies inside the cut (its key frames are no IDR pictures: open "
    "groups of pictures)";

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

// The highest SPS or PPS id of an H.264 source's description (avcC or Annex B).
uint32_t HighestParameterSetId(const AVCodecParameters* par);

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
