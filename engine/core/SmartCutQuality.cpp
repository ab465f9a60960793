// The quality the smart copy's edges are coded at (SmartCut.h): a constant
// quality matched to the group of pictures the edge replaces, and the rate
// the source's level allows.
#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/video_enc_params.h>
}

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/SmartCut.h"
#include "engine/core/SmartCutParts.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

using namespace smart_cut;

namespace {

// How much finer than the source an edge is coded: a second generation needs
// a little more to look the same. Steps of x264's and x265's quantiser (6 a
// doubling of the step size), of libvpx's q (about 8 a doubling).
constexpr double kFinerSteps = 2;
constexpr double kFinerVp9 = 3;
// The range an edge's quality keeps to: no finer than looks lossless (so a
// source of a high rate does not blow up), and no coarser than still keeps a
// starved source's pictures (coded again as coarsely, they lose much more).
constexpr double kFinestCrf = 16, kCoarsestCrf = 40;
constexpr double kFinestVp9 = 12, kCoarsestVp9 = 52;
// MPEG-2's and MPEG-4 Part 2's fixed quantiser (qscale 1..31): one step finer,
// no finer than 2. The decoders export a quantiser one above the qscale the
// encoder was given (its lambda rounds up), hence two.
constexpr double kFinerQscale = 2, kFinestQscale = 2, kCoarsestQscale = 31;
// AV1's crf (libsvtav1's and libaom's, 0..63 like libvpx's q): about 10 a
// doubling of the bits; a trial at 32.
constexpr double kAv1Doubling = 10, kTrialAv1 = 32;
// The quality the first pictures of a group are tried at when the decoder
// exports no quantisers; how many, at most (fewer where they are larger than
// kTrialPixels; AV1's key picture alone, its encoders being slow to start).
constexpr double kTrialCrf = 28;
constexpr int64_t kTrialPictures = 6;
constexpr int64_t kTrialPixels = 1920 * 1080;

struct TLevelRate {
  int Level;       // level_idc as the stream says it
  int64_t Kbps;    // MaxBR, 1000 bits/s
  int64_t Kbits;   // MaxCPB, 1000 bits
};

// H.264 (Baseline, Main; High and above take a factor, as x264 counts them).
constexpr TLevelRate kH264Levels[] = {
    {9, 128, 350},         {10, 64, 175},         {11, 192, 500},        {12, 384, 1000},
    {13, 768, 2000},       {20, 2000, 2000},      {21, 4000, 4000},      {22, 4000, 4000},
    {30, 10000, 10000},    {31, 14000, 14000},    {32, 20000, 20000},    {40, 20000, 25000},
    {41, 50000, 62500},    {42, 50000, 62500},    {50, 135000, 135000},  {51, 240000, 240000},
    {52, 240000, 240000},  {60, 240000, 240000},  {61, 480000, 480000},  {62, 800000, 800000}};

// H.265, Main tier (level_idc 30 times the level).
constexpr TLevelRate kHevcLevels[] = {
    {30, 128, 350},        {60, 1500, 1500},      {63, 3000, 3000},      {90, 6000, 6000},
    {93, 10000, 10000},    {120, 12000, 12000},   {123, 20000, 20000},   {150, 25000, 25000},
    {153, 40000, 40000},   {156, 60000, 60000},   {180, 60000, 60000},   {183, 120000, 120000},
    {186, 240000, 240000}};

// The mean quantiser a decoded picture was coded with, as its decoder exports
// it, on the edge encoder's scale: H.264's QP on the 8-bit scale x264's crf
// takes (`depth`: the pictures' bits), VP9's quantiser index as libvpx's q
// (0..63); -1 when the decoder exports none. Blocks count by their area.
double PictureQuantiser(const AVFrame* frame, int depth) {
  const AVFrameSideData* side =
      avutil.av_frame_get_side_data(frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
  if (side == nullptr || side->size < sizeof(AVVideoEncParams)) return -1;
  const auto* params = reinterpret_cast<const AVVideoEncParams*>(side->data);
  double sum = 0, area = 0;
  for (unsigned i = 0; i < params->nb_blocks; ++i) {
    const size_t at = params->blocks_offset + i * params->block_size;
    if (at + sizeof(AVVideoBlockParams) > side->size) break;
    const auto* block = reinterpret_cast<const AVVideoBlockParams*>(side->data + at);
    sum += double(block->delta_qp) * block->w * block->h;
    area += double(block->w) * block->h;
  }
  const double qp = params->qp + (area > 0 ? sum / area : 0);
  switch (params->type) {
    case AV_VIDEO_ENC_PARAMS_H264: return qp - 6.0 * (depth - 8);
    case AV_VIDEO_ENC_PARAMS_VP9: return qp / 4;
    case AV_VIDEO_ENC_PARAMS_MPEG2: return qp;
    default: return -1;
  }
}

}  // namespace

namespace smart_cut {

void CapToLevel(AVCodecContext* c, const AVCodecParameters* par, bool hevc) {
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC) return;
  // H.264's profile without its constraint flags (constrained, intra).
  const int profile = par->profile & 0xff;
  double factor = 1;
  if (!hevc && profile == FF_PROFILE_H264_HIGH) factor = 1.25;
  if (!hevc && profile == FF_PROFILE_H264_HIGH_10) factor = 3;
  if (!hevc && profile >= FF_PROFILE_H264_HIGH_422) factor = 4;
  const TLevelRate* begin = hevc ? std::begin(kHevcLevels) : std::begin(kH264Levels);
  const TLevelRate* end = hevc ? std::end(kHevcLevels) : std::end(kH264Levels);
  for (const TLevelRate* l = begin; l != end; ++l) {
    if (l->Level != par->level) continue;
    c->rc_max_rate = static_cast<int64_t>(l->Kbps * factor) * 1000;
    c->rc_buffer_size = static_cast<int>(static_cast<int64_t>(l->Kbits * factor) * 1000);
  }
}

}  // namespace smart_cut

double TSmartVideo::EdgeQuality(const TGroup* group, int64_t bit_rate) {
  if (group != nullptr && !group->Packets.empty()) {
    std::vector<AVFramePtr> first;
    const double quantiser = GroupQuantiser(*group, first);
    double quality = -1;
    const char* from = "";
    if (quantiser >= 0) {
      quality = quantiser - FinerSteps();
      from = "the source's quantisers";
    } else if (!first.empty() && (Nal() || codec_ == TCodec::Av1)) {
      quality = TrialQuality(first, SourceBytes(*group, first));
      from = "a trial of its first pictures";
    }
    if (quality >= 0) return Settled(quality, from);
  }
  return last_quality_ >= 0 ? last_quality_ : RateQuality(bit_rate);
}

double TSmartVideo::StreamedQuality() {
  if (edge_pictures_ == 0) return EdgeQuality(nullptr, edge_rate_);
  return Settled(edge_quantisers_ / edge_pictures_ - FinerSteps(), "the source's quantisers");
}

void TSmartVideo::NoteQuantiser(const AVFrame* frame) {
  const double quantiser = PictureQuantiser(frame, SourceDepth());
  if (quantiser < 0) return;
  edge_quantisers_ += quantiser;
  ++edge_pictures_;
}

double TSmartVideo::FinerSteps() const {
  if (codec_ == TCodec::Vp9 || codec_ == TCodec::Av1) return kFinerVp9;
  return Nal() ? kFinerSteps : kFinerQscale;
}

double TSmartVideo::Settled(double quality, const char* from) {
  const bool q63 = codec_ == TCodec::Vp9 || codec_ == TCodec::Av1;  // on a 0..63 scale
  last_quality_ = q63     ? std::clamp(quality, kFinestVp9, kCoarsestVp9)
                  : Nal() ? std::clamp(quality, kFinestCrf, kCoarsestCrf)
                          : std::clamp(quality, kFinestQscale, kCoarsestQscale);
  GetLogger().Logf(sender_, llInfo, "Smart copy: an edge coded at %s %d, from %s",
                   Nal() || q63 ? "crf" : "qscale",
                   static_cast<int>(std::lround(last_quality_)), from);
  return last_quality_;
}

int TSmartVideo::SourceDepth() const {
  const AVPixFmtDescriptor* desc =
      avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(ist_.Stream->codecpar->format));
  return desc != nullptr ? desc->comp[0].depth : 8;
}

// The mean quantiser of the group's pictures (PictureQuantiser), decoding it
// once; -1 when its decoder exports none. `first` keeps its first pictures
// as shown, for a trial (kTrialPictures, fewer for large pictures).
double TSmartVideo::GroupQuantiser(const TGroup& group, std::vector<AVFramePtr>& first) {
  AVCodecContextPtr decoder = MakeDecoder(true);
  const int depth = SourceDepth();
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const int64_t pixels = int64_t(std::max(par->width, 16)) * std::max(par->height, 16);
  const size_t kept =
      codec_ == TCodec::Av1
          ? 1
          : static_cast<size_t>(
                std::clamp<int64_t>(kTrialPictures * kTrialPixels / pixels, 1, kTrialPictures));
  AVFramePtr frame(avutil.av_frame_alloc());
  if (!frame) throw FFmpegException("av_frame_alloc failed");
  double sum = 0;
  int count = 0;
  auto receive = [&] {
    while (avcodec.avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      TFrameUnref unref{frame.get()};
      const double quantiser = PictureQuantiser(frame.get(), depth);
      if (quantiser >= 0) {
        sum += quantiser;
        ++count;
      } else if (first.size() < kept) {
        frame->pts = frame->best_effort_timestamp;
        first.emplace_back(avutil.av_frame_clone(frame.get()));
      }
    }
  };
  for (const AVPacketPtr& packet : group.Packets) {
    avcodec.avcodec_send_packet(decoder.get(), packet.get());
    receive();
    // A decoder that exports no quantisers: the pictures for the trial are all.
    if (count == 0 && first.size() >= kept) return -1;
  }
  avcodec.avcodec_send_packet(decoder.get(), nullptr);
  receive();
  return count > 0 ? sum / count : -1;
}

// The coded bytes of the group's pictures among `pictures` (by their times).
int64_t TSmartVideo::SourceBytes(const TGroup& group,
                                 const std::vector<AVFramePtr>& pictures) const {
  int64_t bytes = 0;
  for (const AVPacketPtr& packet : group.Packets)
    for (const AVFramePtr& picture : pictures)
      if (picture && picture->pts == packet->pts) bytes += PictureBytes(packet.get());
  return bytes;
}

// The quality at which `pictures` would take as many bytes as the source's
// (`source_bytes`): they are coded once at a trial quality as the edge
// encoder codes them, and the quality moved by the steps that halve or
// double their size. More than the key picture is tried where it can be, as
// a source of a low rate spends most of it there.
double TSmartVideo::TrialQuality(const std::vector<AVFramePtr>& pictures, int64_t source_bytes) {
  if (source_bytes <= 0) return -1;
  const bool av1 = codec_ == TCodec::Av1;
  const double tried = av1 ? kTrialAv1 : kTrialCrf;
  AVCodecContextPtr trial = MakeEncoder(tried, false);
  int64_t bytes = 0;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  auto send = [&](AVFrame* frame) {
    if (frame != nullptr) frame->pict_type = AV_PICTURE_TYPE_NONE;
    if (avcodec.avcodec_send_frame(trial.get(), frame) < 0) return false;
    while (avcodec.avcodec_receive_packet(trial.get(), packet.get()) >= 0) {
      bytes += PictureBytes(packet.get());
      avcodec.av_packet_unref(packet.get());
    }
    return true;
  };
  for (const AVFramePtr& picture : pictures)
    if (!picture || !send(picture.get())) return -1;
  if (!send(nullptr) || bytes <= 0) return -1;
  return tried + (av1 ? kAv1Doubling : 6) * std::log2(static_cast<double>(bytes) / source_bytes) -
         FinerSteps();
}

// What `bit_rate` buys at the source's size and rate, for an edge with no
// group to measure: a rough rule for camera pictures.
double TSmartVideo::RateQuality(int64_t bit_rate) const {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  AVRational rate = ist_.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  const double pixels = double(std::max(par->width, 16)) * std::max(par->height, 16) * av_q2d(rate);
  const double bits = bit_rate > 0 ? bit_rate / pixels : 0.1;
  if (codec_ == TCodec::Vp9 || codec_ == TCodec::Av1)
    return std::clamp(32 - 8 * std::log2(bits / 0.07), kFinestVp9, kCoarsestVp9);
  // MPEG-2 and MPEG-4 Part 2: about qscale 4 at 0.2 bits a pixel, the
  // quantiser halving as the rate doubles.
  if (!Nal()) return std::clamp(4 * 0.2 / std::max(bits, 0.001), kFinestQscale, kCoarsestQscale);
  const double base = codec_ == TCodec::H265 ? 28 - 6 * std::log2(bits / 0.05)
                                             : 23 - 6 * std::log2(bits / 0.1);
  return std::clamp(base, kFinestCrf, kCoarsestCrf);
}

int64_t TSmartVideo::PictureBytes(const AVPacket* packet) const {
  if (!Nal()) return packet->size;
  const int length = StartsWithStartCode(packet->data, packet->size) ? 0 : length_size_;
  int64_t bytes = 0;
  const bool hevc = codec_ == TCodec::H265;
  for (const TNal& nal : SplitNals(packet->data, static_cast<size_t>(packet->size), length, hevc)) {
    const int type = nal.Type();
    if (hevc ? type >= 0 && type < 32 : type >= 1 && type <= 5) bytes += nal.Size;
  }
  return bytes;
}

}  // namespace kelvane
