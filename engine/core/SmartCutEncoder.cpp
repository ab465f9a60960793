// The smart copy's encoders (SmartCut.h): the edge encoder set up like the
// source's, the decoder before it, the whole re-encode's, and their packets
// into the source's form.
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

namespace {

// The encoder a codec is re-encoded with: the one today's formats use.
const char* PreferredEncoder(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_HEVC: return "libx265";
    case AV_CODEC_ID_AV1: return "libsvtav1";
    case AV_CODEC_ID_VP9: return "libvpx-vp9";
    default: return nullptr;
  }
}

// Sets up `c` (`codec`) for a whole re-encode with the settings the caller
// gave its encoder (`settings`: lines of the encoder's name and its
// key=value options); the settings as the log and the report say them. The
// source's picture format and profile stay, and options the encoder does not
// know (a muxer's) are passed over. An encoder without a line codes at its
// finest fixed quantiser.
std::string UseWholeSettings(AVCodecContext* c, const AVCodec* codec,
                             const std::vector<std::string>& settings) {
  for (const std::string& line : settings) {
    std::istringstream words(line);
    std::string name, pair;
    if (!(words >> name) || name != codec->name) continue;
    std::string said = name;
    while (words >> pair) {
      const size_t eq = pair.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
      if (key == "profile" || key == "pix_fmt") continue;
      if (avutil.av_opt_set(c, key.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN) < 0) continue;
      // A parameter line that only quiets the encoder's log is no setting.
      if (key.size() > 7 && key.compare(key.size() - 7, 7, "-params") == 0 &&
          value.rfind("log-level=", 0) == 0 && value.find(':') == std::string::npos)
        continue;
      said += " " + pair;
    }
    return said;
  }
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * 2;
  return std::string(codec->name) + " qscale=2";
}


// The encoder a source's codec is re-encoded with: the one today's formats
// use, else the library's own.
const AVCodec* FindEncoder(const AVCodecParameters* par) {
  const AVCodec* codec = nullptr;
  if (const char* name = PreferredEncoder(par->codec_id))
    codec = avcodec.avcodec_find_encoder_by_name(name);
  if (codec == nullptr) codec = avcodec.avcodec_find_encoder(par->codec_id);
  if (codec == nullptr)
    throw FFmpegException(FormatText("No encoder for %s: the cut cannot be re-encoded",
                                     avcodec.avcodec_get_name(par->codec_id)));
  return codec;
}

}  // namespace

namespace smart_cut {

void DescribeLikeSource(AVCodecContext* c, const AVCodec* codec, const AVStream* stream) {
  const AVCodecParameters* par = stream->codecpar;
  c->width = par->width;
  c->height = par->height;
  c->pix_fmt = static_cast<AVPixelFormat>(par->format);
  if (codec->pix_fmts != nullptr) {
    bool listed = false;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
      listed = listed || *f == c->pix_fmt;
    if (!listed) c->pix_fmt = codec->pix_fmts[0];
  }
  c->sample_aspect_ratio = stream->sample_aspect_ratio.num > 0
                               ? stream->sample_aspect_ratio
                               : par->sample_aspect_ratio;
  c->color_primaries = par->color_primaries;
  c->color_trc = par->color_trc;
  c->colorspace = par->color_space;
  c->color_range = par->color_range;
  c->chroma_sample_location = par->chroma_location;
  c->time_base = stream->time_base;
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) c->framerate = rate;
  // MPEG-1 and MPEG-2 read their frame rate code from the time base: one
  // tick a picture (Encode moves the times onto it and back).
  // MPEG-4 Part 2 counts its times in at most 16 bits a second.
  const bool mpeg12 = codec->id == AV_CODEC_ID_MPEG2VIDEO || codec->id == AV_CODEC_ID_MPEG1VIDEO;
  const bool mpeg4_fine = codec->id == AV_CODEC_ID_MPEG4 && c->time_base.den > 65535;
  if ((mpeg12 || mpeg4_fine) && c->framerate.num > 0) c->time_base = av_inv_q(c->framerate);
}

void OpenEncoder(AVCodecContext* c, const AVCodec* codec) {
  int ret;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avcodec.avcodec_open2(c, codec, nullptr);
  }
  if (ret < 0)
    throw FFmpegException(ErrorText(FormatText("Could not open encoder %s", codec->name), ret));
}

}  // namespace smart_cut

AVCodecContextPtr TSmartVideo::MakeEncoder(double quality, bool for_whole) {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const AVCodec* codec = !for_whole && codec_ == TCodec::Av1
                             ? avcodec.avcodec_find_encoder_by_name(av1_encoder_.c_str())
                             : FindEncoder(par);
  if (codec == nullptr) throw FFmpegException("no " + av1_encoder_ + " encoder is installed");
  AVCodecContextPtr enc(avcodec.avcodec_alloc_context3(codec));
  if (!enc) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* c = enc.get();
  DescribeLikeSource(c, codec, ist_.Stream);
  tick_origin_ = AV_NOPTS_VALUE;
  const AVOutputFormat* format = run_.OutputContext(ost_)->oformat;
  if (for_whole) {
    if (format->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    whole_settings_ = UseWholeSettings(c, codec, whole_lines_);
  } else {
    SetEdgeOptions(c, quality);
  }
  OpenEncoder(c, codec);
  return enc;
}

void TSmartVideo::SetEdgeOptions(AVCodecContext* c, double quality) {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  if (codec_ == TCodec::Av1) return SetAv1Options(c, {av1_encoder_, av1_options_, {}}, quality);
  if (!Nal() && codec_ != TCodec::Vp9) return SetMpegEdgeOptions(c, par, quality);
  // A constant quality, like the source's pictures around the edge; the bit
  // rate only as far as the source's level allows.
  const std::string crf = FormatText("%d", static_cast<int>(std::lround(quality)));
  avutil.av_opt_set(c->priv_data, "crf", crf.c_str(), 0);
  c->bit_rate = 0;
  if (!x265_params_.empty()) {
    // The source's own settings, rate limits included.
    UseX265SourceParams(c, par, x265_params_);
    c->gop_size = 1000;
    return;
  }
  CapToLevel(c, par, codec_ == TCodec::H265);
  if (codec_ == TCodec::Vp9) {
    // Every encoded packet one shown picture (no hidden reference frames).
    c->gop_size = 1000;
    avutil.av_opt_set(c->priv_data, "deadline", "good", 0);
    avutil.av_opt_set(c->priv_data, "cpu-used", "4", 0);
    avutil.av_opt_set(c->priv_data, "row-mt", "1", 0);
    avutil.av_opt_set(c->priv_data, "auto-alt-ref", "0", 0);
  } else if (codec_ == TCodec::H265) {
    avutil.av_opt_set(c->priv_data, "profile", X265Profile(par->profile), 0);
    c->gop_size = 1000;
    std::string params = "log-level=error:repeat-headers=1";
    if (source_delay_ <= 0)
      params += ":bframes=0";
    else if (source_delay_ == 1)
      params += ":b-pyramid=0";
    avutil.av_opt_set(c->priv_data, "x265-params", params.c_str(), 0);
  } else {
    if (!annexb_) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    avutil.av_opt_set(c->priv_data, "profile", X264Profile(par->profile), 0);
    if (par->level > 0) c->level = par->level;
    c->gop_size = 1000;
    // Pictures wait no longer in the encoder than in the source, so that the
    // decoding times on both sides of a join follow each other.
    std::string params = FormatText("sps-id=%d:stitchable=1", parameter_id_);
    if (source_delay_ <= 0)
      c->max_b_frames = 0;
    else if (source_delay_ == 1)
      params += ":b-pyramid=none";
    avutil.av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
  }
}

AVCodecContextPtr TSmartVideo::MakeDecoder(bool export_quantisers) {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const AVCodec* codec = avcodec.avcodec_find_decoder(par->codec_id);
  if (codec == nullptr)
    throw FFmpegException(FormatText("No decoder for %s", avcodec.avcodec_get_name(par->codec_id)));
  AVCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
  if (!dec || avcodec.avcodec_parameters_to_context(dec.get(), par) < 0)
    throw FFmpegException("avcodec_alloc_context3 failed");
  dec->pkt_timebase = ist_.Stream->time_base;
  if (export_quantisers) dec->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
  int ret;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avcodec.avcodec_open2(dec.get(), codec, nullptr);
  }
  if (ret < 0) throw FFmpegException(ErrorText("Could not open the decoder of the cut", ret));
  return dec;
}

void TSmartVideo::SetUpSmart() {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  if (codec_ == TCodec::Av1) {
    // Its encoder was tried on a picture already.
    DescribeWithAv1Header(ost_.Stream->codecpar, av1_header_);
    return;
  }
  AVCodecContextPtr enc = MakeEncoder(RateQuality(par->bit_rate), false);
  if (source_delay_ >= 0 && enc->has_b_frames > source_delay_)
    throw FFmpegException("its pictures wait longer than the source's");
  if (annexb_ || !Nal()) return;
  if (codec_ == TCodec::H265) {
    // The description stays the source's; the sample entry 'hev1' lets the
    // parameter sets in the packets take over at each join.
    ost_.Stream->codecpar->codec_tag = MKTAG('h', 'e', 'v', '1');
    return;
  }
  // The description lists the source's parameter sets and then the encoder's.
  TAvcC source;
  ParseAvcC(par->extradata, static_cast<size_t>(par->extradata_size), source);
  std::vector<TNal> sps, pps;
  for (const TNal& nal :
       SplitNals(enc->extradata, static_cast<size_t>(std::max(enc->extradata_size, 0)), 0)) {
    if (nal.Type() == kNalSps) sps.push_back(nal);
    if (nal.Type() == kNalPps) pps.push_back(nal);
  }
  if (sps.size() != 1 || pps.size() != 1)
    throw FFmpegException("no parameter sets in its header");
  if (source.Sps.size() + 1 > 31) throw FFmpegException("too many parameter sets");
  encoder_headers_.assign(enc->extradata, enc->extradata + enc->extradata_size);
  std::vector<uint8_t> avcc(par->extradata, par->extradata + 5);
  avcc.push_back(static_cast<uint8_t>(0xe0 | (source.Sps.size() + 1)));
  for (const TNal& nal : source.Sps) AppendSet(avcc, nal);
  AppendSet(avcc, sps[0]);
  avcc.push_back(static_cast<uint8_t>(source.Pps.size() + 1));
  for (const TNal& nal : source.Pps) AppendSet(avcc, nal);
  AppendSet(avcc, pps[0]);
  avcc.insert(avcc.end(), par->extradata + source.End, par->extradata + par->extradata_size);

  AVCodecParameters* out = ost_.Stream->codecpar;
  avutil.av_freep(&out->extradata);
  out->extradata_size = 0;
  out->extradata =
      static_cast<uint8_t*>(avutil.av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (out->extradata == nullptr) throw FFmpegException("av_mallocz fail");
  std::memcpy(out->extradata, avcc.data(), avcc.size());
  out->extradata_size = static_cast<int>(avcc.size());
}

void TSmartVideo::SetUpWhole(const std::string& reason) {
  whole_ = true;
  report_.Reason = reason;
  GetLogger().Logf(sender_, llWarning, "Smart copy: the video is re-encoded whole: %s",
                   reason.c_str());
  whole_encoder_ = MakeEncoder(0, true);
  whole_decoder_ = MakeDecoder();
  report_.Reason += "; re-encoded with " + whole_settings_;
  GetLogger().Logf(sender_, llInfo, "Smart copy: the whole re-encode uses %s",
                   whole_settings_.c_str());
  AVCodecParameters* out = ost_.Stream->codecpar;
  const uint32_t tag = out->codec_tag;
  if (avcodec.avcodec_parameters_from_context(out, whole_encoder_.get()) < 0)
    throw FFmpegException("av_mallocz fail");
  out->codec_tag = whole_encoder_->codec_id == ist_.Stream->codecpar->codec_id ? tag : 0;
  ost_.Stream->time_base = whole_encoder_->time_base;
}

void TSmartVideo::StartEdge(double quality, int64_t bit_rate) {
  edge_decoder_ = MakeDecoder(quality < 0);
  edge_rate_ = bit_rate;
  edge_quantisers_ = 0;
  edge_pictures_ = 0;
  if (quality >= 0) OpenEdgeEncoder(quality);
}

void TSmartVideo::OpenEdgeEncoder(double quality) {
  edge_encoder_ = MakeEncoder(quality, false);
  if (annexb_ || !Nal()) return;
  const std::vector<uint8_t> headers(edge_encoder_->extradata,
                                     edge_encoder_->extradata + edge_encoder_->extradata_size);
  if (headers != encoder_headers_)
    throw FFmpegException("Smart copy: the encoder's parameter sets changed between two edges");
}

bool TSmartVideo::FeedEdge(const AVPacket* packet) {
  const bool decoded = avcodec.avcodec_send_packet(edge_decoder_.get(), packet) >= 0;
  AVFrame* frame = frame_.get();
  while (avcodec.avcodec_receive_frame(edge_decoder_.get(), frame) >= 0) {
    TFrameUnref unref{frame};
    frame->pts = frame->best_effort_timestamp;
    if (!edge_encoder_) NoteQuantiser(frame);
    if (!InCut(frame->pts)) continue;
    if (!edge_encoder_) OpenEdgeEncoder(StreamedQuality());
    SetZero(frame->pts);
    std::vector<AVPacketPtr> encoded;
    Encode(edge_encoder_.get(), frame, encoded);
    for (AVPacketPtr& p : encoded) edge_packets_.push_back(std::move(p));
  }
  // Only the last packets may need their decoding times moved (EndEdge).
  while (edge_packets_.size() > kHeldEdgePackets) {
    edge_wrote_ = true;
    WriteEncoded(edge_packets_.front().get());
    edge_packets_.pop_front();
  }
  return decoded;
}

void TSmartVideo::EndEdge(int64_t next_dts) {
  FeedEdge(nullptr);
  std::vector<AVPacketPtr> encoded;
  if (edge_encoder_) Encode(edge_encoder_.get(), nullptr, encoded);
  for (AVPacketPtr& p : encoded) edge_packets_.push_back(std::move(p));
  // The source's next key frame is decoded after all of these pictures: the
  // last ones are decoded a little earlier where they would meet it.
  if (next_dts != INT64_MAX) {
    int64_t limit = next_dts;
    for (auto it = edge_packets_.rbegin(); it != edge_packets_.rend(); ++it) {
      AVPacket* p = it->get();
      if (p->dts == AV_NOPTS_VALUE || p->dts < limit) break;
      p->dts = --limit;
    }
  }
  const bool wrote = !edge_packets_.empty() || edge_wrote_;
  for (AVPacketPtr& p : edge_packets_) WriteEncoded(p.get());
  edge_packets_.clear();
  edge_encoder_.reset();
  edge_decoder_.reset();
  edge_wrote_ = false;
  if (wrote) encoded_last_ = true;
}

void TSmartVideo::Encode(AVCodecContext* enc, AVFrame* frame, std::vector<AVPacketPtr>& out) {
  const AVRational tb = ist_.Stream->time_base;
  const bool moved = av_cmp_q(enc->time_base, tb) != 0;
  if (frame != nullptr) {
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    // Ticks counted from the encoder's first picture keep the source's phase.
    if (moved && frame->pts != AV_NOPTS_VALUE) {
      if (tick_origin_ == AV_NOPTS_VALUE) tick_origin_ = frame->pts;
      frame->pts = avutil.av_rescale_q(frame->pts - tick_origin_, tb, enc->time_base);
    }
  }
  if (avcodec.avcodec_send_frame(enc, frame) < 0) throw FFmpegException("Video encoding failed");
  for (;;) {
    AVPacketPtr packet(avcodec.av_packet_alloc());
    if (!packet) throw FFmpegException("av_packet_alloc failed");
    const int ret = avcodec.avcodec_receive_packet(enc, packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFmpegException("Video encoding failed");
    if (moved && tick_origin_ != AV_NOPTS_VALUE) {
      avcodec.av_packet_rescale_ts(packet.get(), enc->time_base, tb);
      if (packet->pts != AV_NOPTS_VALUE) packet->pts += tick_origin_;
      if (packet->dts != AV_NOPTS_VALUE) packet->dts += tick_origin_;
    }
    out.push_back(std::move(packet));
    ++report_.EncodedPictures;
  }
}

// An encoded packet into the source's form: NAL units with length fields of
// the source's size, without parameter sets (the description has them).
void TSmartVideo::WriteEncoded(AVPacket* packet) {
  if (codec_ == TCodec::Av1) {
    const std::vector<uint8_t> header =
        Av1SequenceHeader(packet->data, static_cast<size_t>(packet->size));
    if (!header.empty() && !SameAv1Header(av1_header_, header))
      throw FFmpegException("Smart copy: the encoder's sequence header differs from the source's");
  }
  if (annexb_ || !Nal()) {
    Write(packet);
    return;
  }
  // H.264's parameter sets are in the description under ids of their own;
  // H.265's stay in the packets, where they take over from the source's.
  std::vector<uint8_t> data;
  const bool hevc = codec_ == TCodec::H265;
  for (const TNal& nal : SplitNals(packet->data, static_cast<size_t>(packet->size), 0, hevc)) {
    if ((nal.IsParameterSet() && !hevc) || nal.IsAud()) continue;
    AppendLengthPrefixed(data, nal, length_size_);
  }
  AVPacketPtr out(avcodec.av_packet_alloc());
  if (!out || avcodec.av_new_packet(out.get(), static_cast<int>(data.size())) < 0)
    throw FFmpegException("av_new_packet failed");
  avcodec.av_packet_copy_props(out.get(), packet);
  std::memcpy(out->data, data.data(), data.size());
  Write(out.get());
}

}  // namespace kelvane
