// What today's formats make of the same clip: each of them at its defaults
// ("Normal" quality, the source's size and rate) splits the first 10 s of a
// generated 12 s 1920x1080 H.264 + AAC clip (the one SplitBench --today
// makes) through the window's own split, and prints the new file's size and
// how close its pictures are to the source's: PSNR and SSIM from the
// libraries' psnr and ssim filters, the file's pictures scaled back to the
// source's size where they are smaller (the GIF) and paired by their times.
//
//   FormatBench [folder]   the clip is made in (and reused from) `folder`,
//                          by default the system's temporary folder
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/MainWindowModel.h"
#include "app/Quality.h"
#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "engine/core/FFmpegException.h"
#include "tools/fixtures/FixtureGenerator.h"

using namespace kelvane;

namespace {

constexpr double kCutSeconds = 10;

// Message boxes, printed.
class TPrintingSink : public TMessageSink {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    ShowMessage(caption, text);
  }
  bool Confirm(const std::string&, const std::string&) override { return true; }
  std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
};

// One file's pictures, decoded in order, with their times from the start.
class TPictureReader {
 public:
  bool Open(const std::string& path) {
    AVFormatContext* context = nullptr;
    if (avformat.avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return false;
    input_.reset(context);
    if (avformat.avformat_find_stream_info(context, nullptr) < 0) return false;
    video_ = avformat.av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video_ < 0) return false;
    const AVCodecParameters* par = context->streams[video_]->codecpar;
    const AVCodec* codec = avcodec.avcodec_find_decoder(par->codec_id);
    if (codec == nullptr) return false;
    decoder_.reset(avcodec.avcodec_alloc_context3(codec));
    avcodec.avcodec_parameters_to_context(decoder_.get(), par);
    decoder_->thread_count = 0;
    if (avcodec.avcodec_open2(decoder_.get(), codec, nullptr) < 0) return false;
    packet_.reset(avcodec.av_packet_alloc());
    return true;
  }

  // The next picture with its time in µs from the first one; false at the end.
  bool Next(AVFrame* frame, int64_t& time_us) {
    for (;;) {
      const int got = avcodec.avcodec_receive_frame(decoder_.get(), frame);
      if (got >= 0) {
        const AVStream* stream = input_->streams[video_];
        const int64_t at = avutil.av_rescale_q(frame->best_effort_timestamp, stream->time_base,
                                               AVRational{1, 1000000});
        if (first_us_ == AV_NOPTS_VALUE) first_us_ = at;
        time_us = at - first_us_;
        return true;
      }
      if (got == AVERROR_EOF) return false;
      if (ended_) return false;
      if (avformat.av_read_frame(input_.get(), packet_.get()) < 0) {
        ended_ = true;
        avcodec.avcodec_send_packet(decoder_.get(), nullptr);
        continue;
      }
      if (packet_->stream_index == video_)
        avcodec.avcodec_send_packet(decoder_.get(), packet_.get());
      avcodec.av_packet_unref(packet_.get());
    }
  }

  const AVCodecContext* Decoder() const { return decoder_.get(); }

 private:
  AVInputFormatContextPtr input_;
  AVCodecContextPtr decoder_;
  AVPacketPtr packet_;
  int video_ = -1;
  bool ended_ = false;
  int64_t first_us_ = AV_NOPTS_VALUE;
};

struct TQuality {
  double Psnr = 0;
  double Ssim = 0;
  int Pairs = 0;
};

std::string SourceArgs(const AVCodecContext* decoder) {
  char args[256];
  std::snprintf(args, sizeof args,
                "video_size=%dx%d:pix_fmt=%d:time_base=1/1000000:pixel_aspect=1/1", decoder->width,
                decoder->height, static_cast<int>(decoder->pix_fmt));
  return args;
}

// The first kCutSeconds of `source` against `output` through
// "[out]scale,format[d]; [src]format[r]; [d][r]psnr; [d][r]ssim".
// The comparing filter graph: the output's pictures scaled to the source's
// size, paired with the source's, PSNR and SSIM summed over the pairs.
struct TComparison {
  AVFilterGraphPtr Graph{avfilter.avfilter_graph_alloc()};
  AVFilterContext* SourceIn = nullptr;
  AVFilterContext* OutputIn = nullptr;
  AVFilterContext* PsnrSink = nullptr;
  AVFilterContext* SsimSink = nullptr;
  AVFramePtr Result{avutil.av_frame_alloc()};
  double Mse = 0;
  int MseCount = 0;
  double Ssim = 0;
  int SsimCount = 0;

  bool Build(const AVCodecContext* source, const AVCodecContext* output) {
    const AVFilter* buffer = avfilter.avfilter_get_by_name("buffer");
    const AVFilter* sink = avfilter.avfilter_get_by_name("buffersink");
    if (avfilter.avfilter_graph_create_filter(&SourceIn, buffer, "src",
                                              SourceArgs(source).c_str(), nullptr,
                                              Graph.get()) < 0 ||
        avfilter.avfilter_graph_create_filter(&OutputIn, buffer, "out",
                                              SourceArgs(output).c_str(), nullptr,
                                              Graph.get()) < 0 ||
        avfilter.avfilter_graph_create_filter(&PsnrSink, sink, "psnr_out", nullptr, nullptr,
                                              Graph.get()) < 0 ||
        avfilter.avfilter_graph_create_filter(&SsimSink, sink, "ssim_out", nullptr, nullptr,
                                              Graph.get()) < 0) {
      return false;
    }
    char chain[512];
    std::snprintf(chain, sizeof chain,
                  "[out]scale=%d:%d:flags=bicubic,format=yuv420p,split[d1][d2];"
                  "[src]format=yuv420p,split[r1][r2];[d1][r1]psnr[p];[d2][r2]ssim[s]",
                  source->width, source->height);
    AVFilterInOut* outputs = nullptr;
    AVFilterInOut* inputs = nullptr;
    auto add = [](AVFilterInOut*& list, const char* name, AVFilterContext* context) {
      AVFilterInOut* entry = avfilter.avfilter_inout_alloc();
      entry->name = avutil.av_strdup(name);
      entry->filter_ctx = context;
      entry->pad_idx = 0;
      entry->next = list;
      list = entry;
    };
    add(outputs, "src", SourceIn);
    add(outputs, "out", OutputIn);
    add(inputs, "p", PsnrSink);
    add(inputs, "s", SsimSink);
    const int parsed =
        avfilter.avfilter_graph_parse_ptr(Graph.get(), chain, &inputs, &outputs, nullptr);
    avfilter.avfilter_inout_free(&inputs);
    avfilter.avfilter_inout_free(&outputs);
    return parsed >= 0 && avfilter.avfilter_graph_config(Graph.get(), nullptr) >= 0;
  }

  // Adds up what the sinks have ready.
  void Drain() {
    while (avfilter.av_buffersink_get_frame(PsnrSink, Result.get()) >= 0) {
      const AVDictionaryEntry* e =
          avutil.av_dict_get(Result->metadata, "lavfi.psnr.mse_avg", nullptr, 0);
      if (e != nullptr) {
        Mse += std::atof(e->value);
        ++MseCount;
      }
      avutil.av_frame_unref(Result.get());
    }
    while (avfilter.av_buffersink_get_frame(SsimSink, Result.get()) >= 0) {
      const AVDictionaryEntry* e =
          avutil.av_dict_get(Result->metadata, "lavfi.ssim.All", nullptr, 0);
      if (e != nullptr) {
        Ssim += std::atof(e->value);
        ++SsimCount;
      }
      avutil.av_frame_unref(Result.get());
    }
  }
};

bool Compare(const std::string& source, const std::string& output, TQuality& quality) {
  TPictureReader src, out;
  if (!src.Open(source) || !out.Open(output)) return false;
  TComparison comparison;
  if (!comparison.Build(src.Decoder(), out.Decoder())) return false;
  AVFilterContext* src_in = comparison.SourceIn;
  AVFilterContext* out_in = comparison.OutputIn;
  // The two files' pictures in the order of their times, so that the filters
  // pair them without holding many.
  const int64_t limit = static_cast<int64_t>(kCutSeconds * 1e6);
  int64_t src_time = 0, out_time = 0;
  AVFramePtr src_frame(avutil.av_frame_alloc()), out_frame(avutil.av_frame_alloc());
  bool src_more = src.Next(src_frame.get(), src_time) && src_time < limit;
  bool out_more = out.Next(out_frame.get(), out_time) && out_time < limit;
  while (src_more || out_more) {
    const bool take_src = src_more && (!out_more || src_time <= out_time);
    AVFrame* picture = take_src ? src_frame.get() : out_frame.get();
    picture->pts = take_src ? src_time : out_time;
    if (avfilter.av_buffersrc_add_frame_flags(take_src ? src_in : out_in, picture, 0) < 0) {
      return false;
    }
    avutil.av_frame_unref(picture);
    if (take_src) {
      src_more = src.Next(src_frame.get(), src_time) && src_time < limit;
      if (!src_more && avfilter.av_buffersrc_add_frame_flags(src_in, nullptr, 0) < 0) return false;
    } else {
      out_more = out.Next(out_frame.get(), out_time) && out_time < limit;
      if (!out_more && avfilter.av_buffersrc_add_frame_flags(out_in, nullptr, 0) < 0) return false;
    }
    comparison.Drain();
  }
  comparison.Drain();
  if (comparison.MseCount == 0 || comparison.SsimCount == 0) return false;
  quality.Psnr =
      10 * std::log10(255.0 * 255.0 / std::max(comparison.Mse / comparison.MseCount, 1e-10));
  quality.Ssim = comparison.Ssim / comparison.SsimCount;
  quality.Pairs = comparison.MseCount;
  return true;
}

bool MakeClip(const std::string& clip) {
  if (std::filesystem::exists(clip)) return true;
  fixtures::TFixtureRecipe recipe;
  fixtures::FixturePreset("mp4-h264-aac", recipe);
  recipe.Width = 1920;
  recipe.Height = 1080;
  recipe.Seconds = kCutSeconds + 2;
  recipe.GopSize = 50;
  recipe.SampleRate = 48000;
  std::string error;
  std::printf("making %s (a few minutes, once) ...\n", clip.c_str());
  std::fflush(stdout);
  if (fixtures::GenerateFixture(recipe, clip, &error)) return true;
  std::fprintf(stderr, "cannot make the clip: %s\n", error.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  if (!GetLoader().LoadLibraries(EngineLibraries)) {
    std::fprintf(stderr, "cannot load the libraries: %s\n", GetLoader().LastError().c_str());
    return 1;
  }
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const std::string clip = (folder / "kelvane-bench-12s-1080p.mp4").string();
  if (!MakeClip(clip)) return 1;
  const std::filesystem::path out = folder / "kelvane-format-bench";
  std::filesystem::create_directories(out);

  TPrintingSink sink;
  TMainWindowModel model(sink);
  model.FormCreate(ProgramFolder());
  if (!model.AddVideoFile(clip)) return 1;
  std::printf("%-40s %10s %8s %8s %8s  %s\n", "format (Normal)", "bytes", "seconds", "PSNR", "SSIM",
              "what the file is");
  for (const Quality& row : FormatTable()) {
    if (!row.Today) continue;
    model.ComboOutputFormat.Select(model.ComboOutputFormat.IndexOf(row.Name));
    model.ComboOutputFormatChange();
    TSplitJob job = model.MakeSplitJob();
    job.StartMark = "0.00";
    job.EndMark = "10.00";
    job.OutputFolder = out.string();
    job.Overwrite = true;
    TSplitSession& session = model.Session();
    session.CheckOutput = false;
    std::string refusal;
    const auto began = std::chrono::steady_clock::now();
    if (!session.Start(job, refusal)) {
      std::fprintf(stderr, "%s: %s\n", row.Name.c_str(), refusal.c_str());
      return 1;
    }
    WaitOnMainThread([&] { return !session.Running(); }, std::chrono::hours(1));
    session.WaitForEnd(std::chrono::milliseconds(5000));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::optional<TSplitEnd>& end = session.LastEnd();
    if (!end || end->Outcome != TSplitOutcome::Finished) {
      std::fprintf(stderr, "%s: %s\n", row.Name.c_str(), end ? end->Reason.c_str() : "no end");
      return 1;
    }
    const auto bytes = std::filesystem::file_size(end->OutputPath);
    TQuality quality;
    const bool pictures = !model.IsAudioOnly() && Compare(clip, end->OutputPath, quality);
    std::printf("%-40s %10llu %8.1f %8s %8s  %s\n", row.Name.c_str(),
                static_cast<unsigned long long>(bytes), seconds,
                pictures ? FormatText("%.2f", quality.Psnr).c_str() : "-",
                pictures ? FormatText("%.4f", quality.Ssim).c_str() : "-",
                model.OutputExplanation().c_str());
    std::fflush(stdout);
  }
  return 0;
}
