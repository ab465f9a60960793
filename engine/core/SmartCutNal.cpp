// The smart copy's H.264 and H.265 pieces (SmartCutParts.h): NAL units,
// parameter sets, clean key frames.
#include "engine/core/SmartCut.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/Transcoder.h"
#include "engine/core/SmartCutParts.h"

namespace kelvane {

using namespace smart_cut;

namespace smart_cut {

// The NAL units of H.264 or H.265 data, with start codes (`length_size` 0) or
// with length fields of `length_size` bytes.
std::vector<TNal> SplitNals(const uint8_t* data, size_t size, int length_size, bool hevc) {
  std::vector<TNal> nals;
  if (length_size > 0) {
    size_t pos = 0;
    while (pos + static_cast<size_t>(length_size) <= size) {
      size_t length = 0;
      for (int i = 0; i < length_size; ++i) length = (length << 8) | data[pos + i];
      pos += static_cast<size_t>(length_size);
      if (length > size - pos) break;
      nals.push_back({data + pos, length, hevc});
      pos += length;
    }
    return nals;
  }
  size_t i = 0;
  size_t begin = SIZE_MAX;
  while (i + 3 <= size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (begin != SIZE_MAX) {
        size_t end = i;
        while (end > begin && data[end - 1] == 0) --end;
        nals.push_back({data + begin, end - begin, hevc});
      }
      i += 3;
      begin = i;
    } else {
      ++i;
    }
  }
  if (begin != SIZE_MAX && begin < size) nals.push_back({data + begin, size - begin, hevc});
  return nals;
}

namespace {

// Exp-Golomb codes of a NAL unit's payload (emulation prevention removed).
class TBitReader {
 public:
  explicit TBitReader(const TNal& nal) {
    for (size_t i = 1; i < nal.Size; ++i) {
      if (i >= 3 && nal.Data[i] == 3 && nal.Data[i - 1] == 0 && nal.Data[i - 2] == 0) continue;
      bytes_.push_back(nal.Data[i]);
    }
  }
  int Bit() {
    if (pos_ >= bytes_.size() * 8) return 0;
    const int bit = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return bit;
  }
  void Skip(size_t bits) { pos_ += bits; }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && zeros < 32) ++zeros;
    uint32_t value = 0;
    for (int i = 0; i < zeros; ++i) value = (value << 1) | static_cast<uint32_t>(Bit());
    return (1u << zeros) - 1 + value;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

uint32_t ParameterSetId(const TNal& nal) {
  TBitReader bits(nal);
  if (nal.Type() == kNalSps) bits.Skip(24);  // profile, constraint flags, level
  return bits.Ue();
}

void AppendStartCode(std::vector<uint8_t>& out, const TNal& nal) {
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  out.insert(out.end(), kStart, kStart + 4);
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

void AppendLengthPrefixed(std::vector<uint8_t>& out, const TNal& nal, int length_size) {
  for (int i = length_size - 1; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(nal.Size >> (8 * i)));
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

// The VPS, SPS and PPS NAL units of an hvcC record, in its order.
std::vector<TNal> HvcCNals(const uint8_t* data, size_t size) {
  std::vector<TNal> nals;
  if (size < 23 || data[0] != 1) return nals;
  size_t pos = 23;
  for (int array = 0; array < data[22]; ++array) {
    if (pos + 3 > size) break;
    const int count = (data[pos + 1] << 8) | data[pos + 2];
    pos += 3;
    for (int i = 0; i < count && pos + 2 <= size; ++i) {
      const size_t length = (size_t(data[pos]) << 8) | data[pos + 1];
      pos += 2;
      if (length > size - pos) return nals;
      nals.push_back(TNal{data + pos, length, true});
      pos += length;
    }
  }
  return nals;
}

std::vector<TNal> HvcCParameterSets(const uint8_t* data, size_t size) {
  std::vector<TNal> sets;
  for (const TNal& nal : HvcCNals(data, size))
    if (nal.IsParameterSet()) sets.push_back(nal);
  return sets;
}

bool ParseAvcC(const uint8_t* data, size_t size, TAvcC& out) {
  if (size < 7 || data[0] != 1) return false;
  size_t pos = 5;
  auto read_sets = [&](int count, std::vector<TNal>& sets) {
    for (int i = 0; i < count; ++i) {
      if (pos + 2 > size) return false;
      const size_t length = (size_t(data[pos]) << 8) | data[pos + 1];
      pos += 2;
      if (length == 0 || length > size - pos) return false;
      sets.push_back({data + pos, length, false});
      pos += length;
    }
    return true;
  };
  if (!read_sets(data[pos++] & 0x1f, out.Sps) || pos >= size) return false;
  if (!read_sets(data[pos++], out.Pps)) return false;
  out.End = pos;
  return !out.Sps.empty() && !out.Pps.empty();
}

void AppendSet(std::vector<uint8_t>& out, const TNal& nal) {
  out.push_back(static_cast<uint8_t>(nal.Size >> 8));
  out.push_back(static_cast<uint8_t>(nal.Size & 0xff));
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

const char* X264Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_H264_BASELINE:
    case FF_PROFILE_H264_CONSTRAINED_BASELINE:
      return "baseline";
    case FF_PROFILE_H264_MAIN:
      return "main";
    case FF_PROFILE_H264_HIGH:
      return "high";
    case FF_PROFILE_H264_HIGH_10:
      return "high10";
    case FF_PROFILE_H264_HIGH_422:
      return "high422";
    case FF_PROFILE_H264_HIGH_444_PREDICTIVE:
      return "high444";
    default:
      return nullptr;
  }
}

const char* X265Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_HEVC_MAIN:
      return "main";
    case FF_PROFILE_HEVC_MAIN_10:
      return "main10";
    default:
      return nullptr;
  }
}

bool StartsWithStartCode(const uint8_t* data, int size) {
  return size >= 4 && data[0] == 0 && data[1] == 0 &&
         (data[2] == 1 || (data[2] == 0 && data[3] == 1));
}

// Whether a packet of a stream described by `par` starts a group of pictures
// that needs nothing before it: a key frame holding an IDR picture.
bool IsCleanKeyFrame(const AVPacket* packet, const AVCodecParameters* par) {
  if (!(packet->flags & AV_PKT_FLAG_KEY)) return false;
  // A VP9 key frame resets every reference: nothing before it is needed.
  if (par->codec_id == AV_CODEC_ID_VP9) return true;
  if (IsMpegVideo(par->codec_id)) return IsCleanMpegKeyFrame(packet, par);
  if (par->codec_id == AV_CODEC_ID_AV1) return IsCleanAv1KeyFrame(packet);
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  int length_size = 0;
  if (!StartsWithStartCode(par->extradata, par->extradata_size)) {
    if (!hevc && par->extradata_size > 4) length_size = (par->extradata[4] & 3) + 1;
    if (hevc && par->extradata_size > 21) length_size = (par->extradata[21] & 3) + 1;
  }
  for (const TNal& nal :
       SplitNals(packet->data, static_cast<size_t>(packet->size), length_size, hevc))
    if (nal.IsIdr()) return true;
  return false;
}

std::string NoCleanGroupReason(AVCodecID id) {
  const char* why = "its key frames are no IDR pictures: open groups of pictures";
  if (id == AV_CODEC_ID_MPEG2VIDEO || id == AV_CODEC_ID_MPEG4)
    why = "its key frames begin open groups of pictures, whose first pictures need the group "
          "before";
  if (id == AV_CODEC_ID_AV1) why = "its key frames are hidden or bring no sequence header";
  return std::string("no clean group of pictures lies inside the cut (") + why + ")";
}

// The highest SPS or PPS id of an H.264 source's description (avcC or Annex B).
uint32_t HighestParameterSetId(const AVCodecParameters* par) {
  uint32_t highest = 0;
  const auto size = static_cast<size_t>(std::max(par->extradata_size, 0));
  TAvcC avcc;
  if (ParseAvcC(par->extradata, size, avcc)) {
    for (const TNal& nal : avcc.Sps) highest = std::max(highest, ParameterSetId(nal));
    for (const TNal& nal : avcc.Pps) highest = std::max(highest, ParameterSetId(nal));
    return highest;
  }
  for (const TNal& nal : SplitNals(par->extradata, size, 0))
    if (nal.Type() == kNalSps || nal.Type() == kNalPps)
      highest = std::max(highest, ParameterSetId(nal));
  return highest;
}

}  // namespace smart_cut

}  // namespace kelvane
