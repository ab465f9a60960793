// The video filter graph between a decoder and its encoder: the buffer ends,
// a turn for rotated pictures, the scaler and the user's filter chain.
#include "engine/core/Transcoder.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/PictureRotation.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

namespace {

// The scaler's flag names, for the filter graph's scaler options.
std::string ScaleFlagNames(int flags) {
  static const struct {
    int flag;
    const char* name;
  } names[] = {{SWS_FAST_BILINEAR, "fast_bilinear"}, {SWS_BILINEAR, "bilinear"},
               {SWS_BICUBIC, "bicubic"},             {SWS_X, "experimental"},
               {SWS_POINT, "neighbor"},              {SWS_AREA, "area"},
               {SWS_BICUBLIN, "bicublin"},           {SWS_GAUSS, "gauss"},
               {SWS_SINC, "sinc"},                   {SWS_LANCZOS, "lanczos"},
               {SWS_SPLINE, "spline"}};
  std::string text;
  for (const auto& entry : names) {
    if (flags & entry.flag) {
      if (!text.empty()) text += "+";
      text += entry.name;
    }
  }
  return text.empty() ? "bicubic" : text;
}

struct TInOutDeleter {
  void operator()(AVFilterInOut* p) const { avfilter.avfilter_inout_free(&p); }
};
using TInOutPtr = std::unique_ptr<AVFilterInOut, TInOutDeleter>;

// The failure of a filter set-up: "Error opening filters!", or with the reason.
[[noreturn]] void FiltersFailed(const std::string& reason = "") {
  throw FFmpegException(reason.empty() ? "Error opening filters!"
                                       : "Error opening filters: " + reason);
}

}  // namespace

// The graph's ends: a buffer source with the decoder's pictures and a buffer
// sink giving the encoder's pixel format. Returns the source.
AVFilterContext* TTranscoder::MakeFilterEnds(AVCodecContext* enc, TInputStreamState& ist) {
  AVCodecContext* dec = ist.Decoder;
  AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                       : dec->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{0, 1};
  std::string args = FormatText("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d",
                                dec->width, dec->height, static_cast<int>(dec->pix_fmt),
                                AV_TIME_BASE, sar.num, sar.den);
  AVFilterContext* source = nullptr;
  if (avfilter.avfilter_graph_create_filter(&source, avfilter.avfilter_get_by_name("buffer"),
                                            "src", args.c_str(), nullptr, graph_.get()) < 0)
    FiltersFailed();
  AVFilterContext* sink = avfilter.avfilter_graph_alloc_filter(
      graph_.get(), avfilter.avfilter_get_by_name("buffersink"), "out");
  if (sink == nullptr) FiltersFailed();
  const AVPixelFormat formats[] = {enc->pix_fmt};
  if (avutil.av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                            sizeof(formats), AV_OPT_SEARCH_CHILDREN) < 0 ||
      avfilter.avfilter_init_str(sink, nullptr) < 0)
    FiltersFailed();
  ist.FilterSource = source;
  ist.FilterSink = sink;
  return source;
}

// Links `last` to `sink` through the user's filter chain, or directly.
void TTranscoder::LinkFilterChain(AVFilterContext* last, AVFilterContext* sink) {
  const std::string& chain = settings_.filter_description;
  if (chain.empty()) {
    if (avfilter.avfilter_link(last, 0, sink, 0) < 0) FiltersFailed();
    return;
  }
  TInOutPtr outputs(avfilter.avfilter_inout_alloc());
  TInOutPtr inputs(avfilter.avfilter_inout_alloc());
  if (!outputs || !inputs) FiltersFailed();
  outputs->name = avutil.av_strdup("in");
  outputs->filter_ctx = last;
  outputs->pad_idx = 0;
  inputs->name = avutil.av_strdup("out");
  inputs->filter_ctx = sink;
  inputs->pad_idx = 0;
  // The parser takes the ends it links and leaves the rest to their owners.
  TPointerLoan in_loan(inputs);
  TPointerLoan out_loan(outputs);
  if (avfilter.avfilter_graph_parse_ptr(graph_.get(), chain.c_str(), in_loan.Address(),
                                        out_loan.Address(), nullptr) < 0)
    FiltersFailed();
}

// Links a turn of `rotation` degrees clockwise after `last` (none for 0);
// returns the graph's new last filter.
AVFilterContext* TTranscoder::LinkTurn(AVFilterContext* last, int32_t rotation) {
  std::vector<std::pair<const char*, const char*>> steps;
  if (rotation == 90) steps = {{"transpose", "dir=clock"}};
  if (rotation == 270) steps = {{"transpose", "dir=cclock"}};
  if (rotation == 180) steps = {{"hflip", ""}, {"vflip", ""}};
  for (const auto& [name, args] : steps) {
    AVFilterContext* turn = nullptr;
    if (avfilter.avfilter_graph_create_filter(&turn, avfilter.avfilter_get_by_name(name), name,
                                              *args != 0 ? args : nullptr, nullptr,
                                              graph_.get()) < 0 ||
        avfilter.avfilter_link(last, 0, turn, 0) < 0)
      FiltersFailed();
    last = turn;
  }
  return last;
}

// The video filter graph between the decoder and the encoder.
void TTranscoder::ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  AVCodecContext* dec = ist.Decoder;
  const TRunSettings& s = settings_;
  if (s.crop_top || s.crop_bottom || s.crop_left || s.crop_right)
    FiltersFailed("Cannot enable crop options and filters at the same time.");
  if (ist.FilterSource != nullptr) return;  // one graph per input stream

  graph_.reset(avfilter.avfilter_graph_alloc());
  if (!graph_) FiltersFailed();
  AVFilterContext* last = MakeFilterEnds(enc, ist);
  AVFilterContext* sink = ist.FilterSink;
  last = LinkTurn(last, ost.Rotation);
  const bool swapped = TurnSwapsSides(ost.Rotation);
  const int in_width = swapped ? dec->height : dec->width;
  const int in_height = swapped ? dec->width : dec->height;

  const std::string sws = "flags=" + ScaleFlagNames(s.sws_flags);
  if (in_width + s.pad_left + s.pad_right != enc->width ||
      in_height + s.pad_top + s.pad_bottom != enc->height) {
    AVFilterContext* scale = nullptr;
    std::string scale_args = FormatText("w=%d:h=%d:", enc->width - s.pad_left - s.pad_right,
                                        enc->height - s.pad_top - s.pad_bottom) +
                             sws;
    if (avfilter.avfilter_graph_create_filter(&scale, avfilter.avfilter_get_by_name("scale"),
                                              "scale", scale_args.c_str(), nullptr,
                                              graph_.get()) < 0 ||
        avfilter.avfilter_link(last, 0, scale, 0) < 0)
      FiltersFailed();
    last = scale;
  }
  LinkFilterChain(last, sink);
  avutil.av_freep(&graph_->scale_sws_opts);
  graph_->scale_sws_opts = avutil.av_strdup(sws.c_str());
  if (avfilter.avfilter_graph_config(graph_.get(), nullptr) < 0) FiltersFailed();

  const int w = avfilter.av_buffersink_get_w(sink);
  const int h = avfilter.av_buffersink_get_h(sink);
  const bool padded = s.pad_top || s.pad_bottom || s.pad_left || s.pad_right;
  if (padded && (w != s.requested_width || h != s.requested_height)) {
    FiltersFailed(
        "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
        "rotate, scale, transpose, etc.)");
  }
  enc->width = w + s.pad_left + s.pad_right;
  enc->height = h + s.pad_top + s.pad_bottom;
}

}  // namespace kelvane
