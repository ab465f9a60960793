// The smart copy's AV1 pieces (SmartCutParts.h): the OBUs of a temporal
// unit, which key frames start cleanly, and the encoder that writes the very
// sequence header the source's pictures were coded under.
//
// AV1 in Matroska, WebM and MP4 is described by one sequence header, and a
// decoder keeps it for the whole stream: re-encoded pictures can only stand
// beside copied ones when their encoder writes the same header. That depends
// on the encoder and its speed settings (the coding tools a header enables),
// so it is tried: one picture of the source's size through each encoder set
// up like the source, and the first whose header is the source's codes the
// edges. The stream's own header is the one compared: libsvtav1 describes its
// streams, before it has coded a picture, with a header that enables fewer
// tools than the one it then sends with its key frames.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/SmartCut.h"
#include "engine/core/SmartCutParts.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

using namespace smart_cut;

namespace smart_cut {

namespace {

// Bits of an OBU's payload, most significant first; past its end reads 0 and
// says so.
class TAv1Bits {
 public:
  TAv1Bits(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t F(int bits) {
    uint64_t value = 0;
    for (int i = 0; i < bits; ++i) {
      value <<= 1;
      if (pos_ >= size_ * 8) {
        over_ = true;
        continue;
      }
      value |= (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
      ++pos_;
    }
    return value;
  }
  uint64_t Uvlc() {
    int zeros = 0;
    while (!over_ && F(1) == 0) ++zeros;
    if (zeros >= 32) return UINT32_MAX;
    return F(zeros) + (uint64_t{1} << zeros) - 1;
  }
  bool Over() const { return over_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool over_ = false;
};

// One OBU of a temporal unit or an av1C record: its type and payload.
struct TObu {
  int Type = -1;
  const uint8_t* Payload = nullptr;
  size_t Size = 0;
};

constexpr int kObuSequenceHeader = 1;
constexpr int kObuTemporalDelimiter = 2;
constexpr int kObuFrameHeader = 3;
constexpr int kObuTileGroup = 4;
constexpr int kObuFrame = 6;

// The OBUs of `data` (low overhead format: each with its size field, or the
// last one without reaching to the end). Stops at the first malformed one.
std::vector<TObu> SplitObus(const uint8_t* data, size_t size) {
  std::vector<TObu> obus;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t header = data[pos];
    if (header & 0x80) break;  // the forbidden bit
    const bool extension = header & 4, has_size = header & 2;
    size_t at = pos + 1 + (extension ? 1 : 0);
    if (at > size) break;
    size_t length = size - at;
    if (has_size) {
      uint64_t value = 0;
      int i = 0;
      for (; i < 8 && at < size; ++i) {
        const uint8_t byte = data[at++];
        value |= uint64_t(byte & 0x7f) << (7 * i);
        if (!(byte & 0x80)) break;
      }
      if (i == 8 || value > size - at) break;
      length = static_cast<size_t>(value);
    }
    obus.push_back({(header >> 3) & 15, data + at, length});
    pos = at + length;
  }
  return obus;
}

// A sequence header's fields as they are read, each under its name.
class TFieldReader {
 public:
  TFieldReader(const uint8_t* data, size_t size) : bits_(data, size) {}
  uint64_t Field(const char* name, int width) {
    const uint64_t value = bits_.F(width);
    fields_.push_back({name, value});
    return value;
  }
  void Uvlc(const char* name) { fields_.push_back({name, bits_.Uvlc()}); }
  void Skip(int width) { bits_.F(width); }
  // The fields read; none when the header ran out before its end.
  std::vector<std::pair<const char*, uint64_t>> Fields() {
    if (bits_.Over()) fields_.clear();
    return std::move(fields_);
  }

 private:
  TAv1Bits bits_;
  std::vector<std::pair<const char*, uint64_t>> fields_;
};

// Timing, decoder model and operating points, up to the frame size.
void ReadOperatingPoints(TFieldReader& r) {
  uint64_t decoder_model = 0, delay_length = 0;
  if (r.Field("timing info", 1)) {
    r.Field("timing info", 32);
    r.Field("timing info", 32);
    if (r.Field("timing info", 1)) r.Uvlc("timing info");
    decoder_model = r.Field("decoder model", 1);
    if (decoder_model) {
      delay_length = r.Field("decoder model", 5) + 1;
      r.Field("decoder model", 32);
      r.Field("decoder model", 5);
      r.Field("decoder model", 5);
    }
  }
  const uint64_t display_delay = r.Field("initial display delay", 1);
  const uint64_t points = r.Field("operating points", 5) + 1;
  for (uint64_t i = 0; i < points; ++i) {
    r.Field("operating points", 12);
    if (r.Field("level", 5) > 7) r.Field("tier", 1);
    if (decoder_model && r.Field("decoder model", 1)) {
      r.Skip(static_cast<int>(2 * delay_length));  // buffer delays: may change
      r.Skip(1);
    }
    if (display_delay && r.Field("initial display delay", 1)) r.Field("initial display delay", 4);
  }
}

// The frame size and the coding tools the sequence allows.
void ReadCodingTools(TFieldReader& r, bool reduced) {
  const int width_bits = static_cast<int>(r.Field("frame size", 4)) + 1;
  const int height_bits = static_cast<int>(r.Field("frame size", 4)) + 1;
  r.Field("frame size", width_bits);
  r.Field("frame size", height_bits);
  if (!reduced && r.Field("frame ids", 1)) {
    r.Field("frame ids", 4);
    r.Field("frame ids", 3);
  }
  r.Field("superblock size", 1);
  r.Field("filter intra", 1);
  r.Field("intra edge filter", 1);
  if (!reduced) {
    r.Field("inter-intra compound", 1);
    r.Field("masked compound", 1);
    r.Field("warped motion", 1);
    r.Field("dual filter", 1);
    const uint64_t order_hint = r.Field("order hints", 1);
    if (order_hint) {
      r.Field("distance weighted compound", 1);
      r.Field("reference motion vectors", 1);
    }
    uint64_t screen = 2;
    if (!r.Field("screen content tools", 1)) screen = r.Field("screen content tools", 1);
    if (screen > 0 && !r.Field("integer motion vectors", 1)) r.Field("integer motion vectors", 1);
    if (order_hint) r.Field("order hints", 3);
  }
  r.Field("super-resolution", 1);
  r.Field("CDEF", 1);
  r.Field("loop restoration", 1);
}

// Bit depth, colour description, range and chroma layout.
void ReadColourConfig(TFieldReader& r, uint64_t profile) {
  const uint64_t high = r.Field("bit depth", 1);
  uint64_t twelve = 0;
  if (profile == 2 && high) twelve = r.Field("bit depth", 1);
  const uint64_t mono = profile == 1 ? 0 : r.Field("monochrome", 1);
  uint64_t primaries = 2, transfer = 2, matrix = 2;
  if (r.Field("colour description", 1)) {
    primaries = r.Field("colour description", 8);
    transfer = r.Field("colour description", 8);
    matrix = r.Field("colour description", 8);
  }
  if (mono) {
    r.Field("colour range", 1);
  } else if (!(primaries == 1 && transfer == 13 && matrix == 0)) {
    r.Field("colour range", 1);
    uint64_t sub_x = 1, sub_y = 1;
    if (profile == 1) {
      sub_x = sub_y = 0;
    } else if (profile == 2) {
      sub_y = 0;
      if (twelve) {
        sub_x = r.Field("chroma subsampling", 1);
        if (sub_x) sub_y = r.Field("chroma subsampling", 1);
      }
    }
    if (sub_x && sub_y) r.Field("chroma sample position", 2);
  }
  if (!mono) r.Field("separate chroma quantisers", 1);
}

// The fields of a sequence header that a decoder keeps for the whole coded
// sequence, named as a user is told of a difference, in the header's order;
// the operating points' decoder model parameters, which may change, aside.
// Empty when the header cannot be read.
std::vector<std::pair<const char*, uint64_t>> SequenceHeaderFields(const uint8_t* data,
                                                                   size_t size) {
  TFieldReader r(data, size);
  const uint64_t profile = r.Field("profile", 3);
  r.Field("still picture", 1);
  const uint64_t reduced = r.Field("reduced still picture header", 1);
  if (reduced)
    r.Field("level", 5);
  else
    ReadOperatingPoints(r);
  ReadCodingTools(r, reduced != 0);
  ReadColourConfig(r, profile);
  r.Field("film grain", 1);
  return r.Fields();
}

using TFields = std::vector<std::pair<const char*, uint64_t>>;

uint64_t FieldOf(const TFields& fields, const char* name) {
  for (const auto& [field, value] : fields)
    if (std::strcmp(field, name) == 0) return value;
  return 0;
}

// The names of the fields in which two headers differ, as a list to show.
std::string Differences(const TFields& source, const TFields& encoder) {
  std::vector<std::string> names;
  auto note = [&](const char* name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
  };
  const size_t common = std::min(source.size(), encoder.size());
  for (size_t i = 0; i < common; ++i) {
    if (std::strcmp(source[i].first, encoder[i].first) != 0) {
      // The headers' layouts part here (a field that brings others).
      note(source[i].first);
      break;
    }
    if (source[i].second != encoder[i].second) note(source[i].first);
  }
  if (source.size() != encoder.size() && names.empty())
    note(source.size() > common ? source[common].first : encoder[common].first);
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// An AV1 encoder and the options that set it up to write a source's header.
struct TAv1Candidate {
  const char* Encoder;
  std::vector<std::pair<std::string, std::string>> Options;  // of its private class
};

// What the encoders are tried with, from the source's header: libsvtav1 at
// today's preset, the two tools it lets be chosen set like the source's;
// libaom at a middle speed, every tool it lets be chosen set like the
// source's (its slower speeds' extra tools cannot be asked for).
std::vector<TAv1Candidate> Candidates(const TFields& source) {
  auto flag = [&](const char* name) { return std::to_string(FieldOf(source, name)); };
  std::vector<TAv1Candidate> candidates;
  candidates.push_back({"libsvtav1",
                        {{"preset", "8"},
                         {"svtav1-params", "enable-restoration=" + flag("loop restoration") +
                                               ":enable-cdef=" + flag("CDEF")}}});
  candidates.push_back(
      {"libaom-av1",
       {{"cpu-used", "6"},
        {"row-mt", "1"},
        {"enable-cdef", flag("CDEF")},
        {"enable-restoration", flag("loop restoration")},
        {"enable-filter-intra", flag("filter intra")},
        {"enable-intra-edge-filter", flag("intra edge filter")},
        {"enable-interintra-comp", flag("inter-intra compound")},
        {"enable-masked-comp", flag("masked compound")},
        {"enable-dual-filter", flag("dual filter")},
        {"enable-dist-wtd-comp", flag("distance weighted compound")},
        {"enable-ref-frame-mvs", flag("reference motion vectors")},
        {"aom-params", std::string("sb-size=") +
                           (FieldOf(source, "superblock size") ? "128" : "64") +
                           ":enable-warped-motion=" + flag("warped motion")}}});
  return candidates;
}

}  // namespace

std::vector<uint8_t> Av1SequenceHeader(const uint8_t* data, size_t size) {
  for (const TObu& obu : SplitObus(data, size))
    if (obu.Type == kObuSequenceHeader) return {obu.Payload, obu.Payload + obu.Size};
  return {};
}

bool IsCleanAv1KeyFrame(const AVPacket* packet) {
  bool header = false, reduced = false;
  for (const TObu& obu : SplitObus(packet->data, static_cast<size_t>(packet->size))) {
    if (obu.Type == kObuSequenceHeader) {
      const TFields fields = SequenceHeaderFields(obu.Payload, obu.Size);
      if (fields.empty()) return false;
      header = true;
      reduced = FieldOf(fields, "reduced still picture header") != 0;
    } else if (obu.Type == kObuFrameHeader || obu.Type == kObuFrame) {
      // The unit's first picture: a key frame shown at once, not one that
      // shows a frame decoded before it.
      if (!header) return false;
      if (reduced) return true;
      TAv1Bits bits(obu.Payload, obu.Size);
      const uint64_t show_existing = bits.F(1), type = bits.F(2), shown = bits.F(1);
      return !bits.Over() && show_existing == 0 && type == 0 && shown == 1;
    }
  }
  return false;
}

bool Av1ShowsExisting(const AVPacket* packet) {
  bool header = false;
  for (const TObu& obu : SplitObus(packet->data, static_cast<size_t>(packet->size))) {
    if (obu.Type == kObuFrame || obu.Type == kObuTileGroup) return false;
    header = header || obu.Type == kObuFrameHeader;
  }
  return header;
}

std::vector<uint8_t> Av1StreamHeader(AVFormatContext* input, int index) {
  const AVCodecParameters* par = input->streams[index]->codecpar;
  if (par->codec_id != AV_CODEC_ID_AV1) return {};
  SeekKeyFrame(input, InputOrigin(input));
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (int read = 0; read < 1000 && avformat.av_read_frame(input, packet.get()) >= 0; ++read) {
    TPacketUnref unref{packet.get()};
    if (packet->stream_index != index) continue;
    std::vector<uint8_t> header =
        Av1SequenceHeader(packet->data, static_cast<size_t>(packet->size));
    if (!header.empty()) return header;
  }
  return {};
}

std::vector<uint8_t> Av1StreamHeader(const std::string& name, int index) {
  TInputContext input;
  if (OpenInputContext(ToLibraryFileName(name), nullptr, nullptr, input) < 0 ||
      index >= static_cast<int>(input->nb_streams))
    return {};
  return Av1StreamHeader(input.Get(), index);
}

void SetAv1Options(AVCodecContext* c, const TAv1Setup& setup, double quality) {
  for (const auto& [key, value] : setup.Options)
    avutil.av_opt_set(c->priv_data, key.c_str(), value.c_str(), 0);
  avutil.av_opt_set(c->priv_data, "crf", std::to_string(std::lround(quality)).c_str(), 0);
  c->bit_rate = 0;
  c->gop_size = 1000;
}

namespace {

// The header `candidate` writes for pictures like `stream`'s, from one
// picture; empty (with `problem` saying why) when it cannot code them.
std::vector<uint8_t> TrialHeader(const AVStream* stream, const TAv1Setup& candidate,
                                 std::string& problem) {
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(candidate.Encoder.c_str());
  if (codec == nullptr) {
    problem = "no " + candidate.Encoder + " encoder is installed";
    return {};
  }
  AVCodecContextPtr enc(avcodec.avcodec_alloc_context3(codec));
  if (!enc) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* c = enc.get();
  DescribeLikeSource(c, codec, stream);
  if (c->pix_fmt != stream->codecpar->format) {
    problem = FormatText("the encoder does not take the source's pixel format %s",
                         avutil.av_get_pix_fmt_name(
                             static_cast<AVPixelFormat>(stream->codecpar->format)));
    return {};
  }
  SetAv1Options(c, candidate, 32);
  OpenEncoder(c, codec);
  // Closed without a picture, libsvtav1 never returns: one always goes in.
  AVFramePtr frame(avutil.av_frame_alloc());
  if (!frame) throw FFmpegException("av_frame_alloc failed");
  frame->width = c->width;
  frame->height = c->height;
  frame->format = c->pix_fmt;
  frame->pts = 0;
  if (avutil.av_frame_get_buffer(frame.get(), 0) < 0)
    throw FFmpegException("av_frame_get_buffer failed");
  const ptrdiff_t lines[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2],
                              frame->linesize[3]};
  avutil.av_image_fill_black(frame->data, lines, c->pix_fmt, c->color_range, c->width,
                             c->height);
  std::vector<uint8_t> header;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (AVFrame* f : {frame.get(), static_cast<AVFrame*>(nullptr)}) {
    if (avcodec.avcodec_send_frame(c, f) < 0) break;
    while (avcodec.avcodec_receive_packet(c, packet.get()) >= 0) {
      TPacketUnref unref{packet.get()};
      if (header.empty())
        header = Av1SequenceHeader(packet->data, static_cast<size_t>(packet->size));
    }
  }
  if (header.empty()) problem = "the encoder wrote no sequence header";
  return header;
}

}  // namespace

TAv1Setup MatchAv1Encoder(const AVStream* stream, const std::vector<uint8_t>& source_header) {
  const AVCodecParameters* par = stream->codecpar;
  TAv1Setup result;
  const TFields source = SequenceHeaderFields(source_header.data(), source_header.size());
  if (source.empty()) {
    result.Reason = "the source's sequence header cannot be read";
    return result;
  }
  // The same source (or another like it) is matched once.
  static std::mutex lock;
  static std::map<std::string, TAv1Setup> matched;
  const std::string key = FormatText(
      "%dx%d %d %d/%d %d/%d %d %d %d %d %d ", par->width, par->height, par->format,
      stream->time_base.num, stream->time_base.den, stream->avg_frame_rate.num,
      stream->avg_frame_rate.den, par->color_primaries, par->color_trc, par->color_space,
      par->color_range, par->chroma_location) +
                          std::string(source_header.begin(), source_header.end());
  {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = matched.find(key);
    if (found != matched.end()) return found->second;
  }
  std::string closest;
  size_t fewest = SIZE_MAX;
  for (const TAv1Candidate& candidate : Candidates(source)) {
    TAv1Setup setup{candidate.Encoder, candidate.Options, {}};
    std::string problem;
    std::vector<uint8_t> header;
    try {
      header = TrialHeader(stream, setup, problem);
    } catch (const FFmpegException& e) {
      problem = e.what();
    }
    std::string differences;
    if (!header.empty()) {
      differences = Differences(source, SequenceHeaderFields(header.data(), header.size()));
      if (differences.empty()) {
        result = setup;
        break;
      }
      problem = "the encoder's sequence header differs from the source's (" + differences + ")";
    }
    // The reason told is the nearest miss: the fewest fields apart, else
    // the first problem.
    const size_t apart = header.empty()
                             ? SIZE_MAX - 1
                             : size_t(std::count(differences.begin(), differences.end(), ','));
    if (apart < fewest) {
      fewest = apart;
      closest = problem;
    }
  }
  if (result.Encoder.empty())
    result.Reason = closest.empty() ? "no AV1 encoder is installed" : closest;
  std::lock_guard<std::mutex> guard(lock);
  matched[key] = result;
  return result;
}

std::vector<uint8_t> KnownAv1Header(const AVCodecParameters* par, const TSmartSource& source) {
  if (!source.Av1Header.empty() || par->extradata_size <= 4) return source.Av1Header;
  // The description's, after the av1C record's 4 bytes.
  return Av1SequenceHeader(par->extradata + 4, static_cast<size_t>(par->extradata_size - 4));
}

std::string Av1Obstacle(const AVCodecParameters* par, const AVOutputFormat* format,
                        const TSmartSource* source, TAv1Setup* setup) {
  if (!FormatIs(format, "webm,matroska,mp4,mov"))
    return FormatText("AV1 in %s cannot be joined", format != nullptr ? format->name : "unknown");
  if (source == nullptr || source->Stream == nullptr) return {};
  const TAv1Setup match = MatchAv1Encoder(source->Stream, KnownAv1Header(par, *source));
  if (setup != nullptr) *setup = match;
  return match.Reason;
}

void DescribeWithAv1Header(AVCodecParameters* out, const std::vector<uint8_t>& header) {
  // An av1C record: its 4 bytes (profile, level, colours), then the header as an OBU.
  if (header.empty() || out->extradata_size < 4 || out->extradata[0] != 0x81) return;
  const std::vector<uint8_t> described =
      Av1SequenceHeader(out->extradata + 4, static_cast<size_t>(out->extradata_size - 4));
  if (described == header) return;
  std::vector<uint8_t> av1c(out->extradata, out->extradata + 4);
  av1c.push_back(uint8_t(kObuSequenceHeader << 3 | 2));  // with its size field
  for (size_t size = header.size();; size >>= 7) {
    av1c.push_back(uint8_t((size & 0x7f) | (size > 0x7f ? 0x80 : 0)));
    if (size <= 0x7f) break;
  }
  av1c.insert(av1c.end(), header.begin(), header.end());
  auto* data = static_cast<uint8_t*>(avutil.av_mallocz(av1c.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (data == nullptr) throw FFmpegException("av_mallocz failed");
  std::memcpy(data, av1c.data(), av1c.size());
  avutil.av_freep(&out->extradata);
  out->extradata = data;
  out->extradata_size = static_cast<int>(av1c.size());
}

bool SameAv1Header(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a == b) return true;
  const TFields first = SequenceHeaderFields(a.data(), a.size());
  return !first.empty() && Differences(first, SequenceHeaderFields(b.data(), b.size())).empty();
}

}  // namespace smart_cut

std::string TSmartVideo::UnmatchedAv1() {
  codec_ = TCodec::Av1;
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const TSmartSource source{ist_.Stream,
                            Av1StreamHeader(run_.InputContext(ist_)->url, ist_.Stream->index)};
  TAv1Setup setup;
  const std::string reason =
      Av1Obstacle(par, run_.OutputContext(ost_)->oformat, &source, &setup);
  if (!reason.empty()) return reason;
  av1_header_ = KnownAv1Header(par, source);
  av1_encoder_ = setup.Encoder;
  av1_options_ = setup.Options;
  GetLogger().Logf(sender_, llInfo, "Smart copy: %s writes the source's sequence header",
                   av1_encoder_.c_str());
  return {};
}

}  // namespace kelvane
