// H.265 edges that write the source's own parameter sets (SmartCutParts.h):
// x265 names the settings it was given in an SEI beside its parameter sets,
// and libx265 given the same settings writes the same VPS, SPS and PPS. Where
// it does, an edge needs no parameter sets of its own, and a container with
// one description (Matroska) can hold the joined stream.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string_view>

#include "binding/AVPtr.h"
#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/SmartCutParts.h"

namespace kelvane::smart_cut {

namespace {

constexpr int kHevcPrefixSei = 39;

// Settings the info SEI lists that do not shape the stream's parameter sets
// or pictures (threads, input, statistics, rate), that the edge sets itself,
// or that libx265 cannot take back.
constexpr std::string_view kIgnoredKeys[] = {
    "cpuid",         "frame-threads", "numa-pools",    "pools",
    "log-level",     "input-csp",     "input-res",     "total-frames",
    "stats-write",   "stats-read",    "rc",            "crf",
    "bitrate",       "qp",            "repeat-headers", "annexb",
    "info",          "conformance-window-offsets",     "right",
    "bottom",        "bitdepth",      "keyint",        "min-keyint",
    "interlace",     "copy-pic",      "analysis-reuse-level",
    "analysis-save-reuse-level",      "analysis-load-reuse-level",
    "scale-factor",  "refine-intra",  "refine-inter",  "refine-mv",
    "refine-ctu-distortion",          "ctu-info",      "refine-analysis-type",
    "max-ausize-factor",              "zone-count",    "decoder-max-rate",
    "svt",           "vbv-live-multi-pass",            "overscan",
    "display-window", "cll",          "qp-adaptation-range",
    "psnr",          "ssim",          "splice",        "csv",
    "csv-log-level", "pass",          "slow-firstpass", "dither"};

// x265 signals these only when told; told their default they would appear
// in the stream where the source has none.
constexpr std::string_view kUnsignalledDefaults[] = {
    "videoformat=5", "range=0", "colorprim=2", "transfer=2", "colormatrix=2", "chromaloc=0"};

// The NAL units of an H.265 source's description.
std::vector<TNal> DescriptionNals(const AVCodecParameters* par) {
  const auto size = static_cast<size_t>(std::max(par->extradata_size, 0));
  if (StartsWithStartCode(par->extradata, par->extradata_size))
    return SplitNals(par->extradata, size, 0, true);
  return HvcCNals(par->extradata, size);
}

// The text after "options: " in x265's info SEI; empty when there is none.
std::string InfoSeiOptions(const AVCodecParameters* par) {
  constexpr std::string_view kMark = " options: ";
  for (const TNal& nal : DescriptionNals(par)) {
    if (nal.Type() != kHevcPrefixSei) continue;
    const std::string_view text(reinterpret_cast<const char*>(nal.Data), nal.Size);
    if (text.find("x265") == std::string_view::npos) continue;
    const size_t at = text.find(kMark);
    if (at == std::string_view::npos) continue;
    size_t end = at + kMark.size();
    while (end < text.size() && text[end] >= 0x20 && text[end] < 0x7f) ++end;
    // x265 runs one of its settings into the next without a space.
    const std::string_view options = text.substr(at + kMark.size(), end - at - kMark.size());
    const size_t glued = std::min(options.find("conformance-window-offsets"), options.size());
    std::string spaced(options.substr(0, glued));
    spaced += ' ';
    spaced += options.substr(glued);
    return spaced;
  }
  return {};
}

// One listed setting as a key=value pair of "x265-params"; empty to leave out.
std::string ParamOf(std::string_view word) {
  for (std::string_view skipped : kUnsignalledDefaults)
    if (word == skipped) return {};
  const size_t eq = word.find('=');
  const bool negated = eq == std::string_view::npos && word.substr(0, 3) == "no-";
  const std::string_view key = negated ? word.substr(3) : word.substr(0, eq);
  for (std::string_view ignored : kIgnoredKeys)
    if (key == ignored) return {};
  std::string param(key);
  param += '=';
  if (eq == std::string_view::npos) {
    param += negated ? '0' : '1';
    return param;
  }
  // Pairs are separated by ':' in "x265-params"; x265 also reads "a,b".
  for (char c : word.substr(eq + 1)) param += c == ':' ? ',' : c;
  return param;
}

// The VPS, SPS and PPS of Annex B data or of an H.265 description.
std::vector<std::string> ParameterSets(const std::vector<TNal>& nals) {
  std::vector<std::string> sets;
  for (const TNal& nal : nals)
    if (nal.IsParameterSet()) sets.emplace_back(reinterpret_cast<const char*>(nal.Data), nal.Size);
  return sets;
}

const char* SetName(const std::string& set) {
  switch ((static_cast<unsigned char>(set[0]) >> 1) & 0x3f) {
    case kHevcVps: return "VPS";
    case kHevcSps: return "SPS";
    default: return "PPS";
  }
}

}  // namespace

std::string X265SourceParams(const AVCodecParameters* par) {
  const std::string options = InfoSeiOptions(par);
  if (options.empty()) return {};
  std::istringstream words(options);
  std::string word, params;
  while (words >> word) {
    const std::string param = ParamOf(word);
    if (param.empty()) continue;
    if (!params.empty()) params += ':';
    params += param;
  }
  return params;
}

void UseX265SourceParams(AVCodecContext* c, const AVCodecParameters* par,
                         const std::string& source_params) {
  // The settings say where the source signals chroma siting; the demuxer's
  // guess would add it where the source has none.
  c->chroma_sample_location = AVCHROMA_LOC_UNSPECIFIED;
  avutil.av_opt_set(c->priv_data, "profile", X265Profile(par->profile), 0);
  const std::string params = source_params + ":log-level=error:repeat-headers=1:info=0";
  avutil.av_opt_set(c->priv_data, "x265-params", params.c_str(), 0);
}

namespace {

// X265ParameterSetsDiffer without the memo: opens a trial encoder.
std::string TrialParameterSetsDiffer(const AVCodecParameters* par) {
  const std::string source_params = X265SourceParams(par);
  if (source_params.empty()) return "the source does not name the x265 settings it was made with";
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name("libx265");
  if (codec == nullptr) return "no libx265 encoder is installed";
  AVCodecContextPtr trial(avcodec.avcodec_alloc_context3(codec));
  if (!trial) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* c = trial.get();
  c->width = par->width;
  c->height = par->height;
  c->pix_fmt = static_cast<AVPixelFormat>(par->format);
  c->sample_aspect_ratio = par->sample_aspect_ratio;
  c->color_primaries = par->color_primaries;
  c->color_trc = par->color_trc;
  c->colorspace = par->color_space;
  c->color_range = par->color_range;
  c->time_base = AVRational{1, 90000};
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  UseX265SourceParams(c, par, source_params);
  int ret;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avcodec.avcodec_open2(c, codec, nullptr);
  }
  if (ret < 0) return "libx265 does not take the source's x265 settings";
  const std::vector<std::string> source = ParameterSets(DescriptionNals(par));
  const std::vector<std::string> encoder = ParameterSets(SplitNals(
      c->extradata, static_cast<size_t>(std::max(c->extradata_size, 0)), 0, true));
  for (const std::string& set : source)
    if (std::find(encoder.begin(), encoder.end(), set) == encoder.end())
      return FormatText("libx265 writes another %s than the source's", SetName(set));
  if (encoder.size() != source.size())
    return "libx265 writes other parameter sets than the source's";
  return {};
}

}  // namespace

std::string X265ParameterSetsDiffer(const AVCodecParameters* par) {
  // A window asks again at every mark it moves: the answer is kept for each
  // description and picture format seen.
  static std::mutex mutex;
  static std::map<std::string, std::string> answers;
  std::string key(reinterpret_cast<const char*>(par->extradata),
                  static_cast<size_t>(std::max(par->extradata_size, 0)));
  key += FormatText("|%dx%d|%d|%d|%d|%d|%d|%d", par->width, par->height, par->format,
                    par->profile, par->color_primaries, par->color_trc, par->color_space,
                    par->color_range);
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto known = answers.find(key);
    if (known != answers.end()) return known->second;
  }
  std::string answer = TrialParameterSetsDiffer(par);
  std::lock_guard<std::mutex> lock(mutex);
  if (answers.size() > 64) answers.clear();
  answers.emplace(std::move(key), answer);
  return answer;
}

}  // namespace kelvane::smart_cut
