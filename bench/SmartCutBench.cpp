// Smart copy benchmark, two cuts:
//  - on the 10-minute 1280x720 H.264 + AAC clip SplitBench makes (25 fps, a
//    key frame every 2 s; made once and reused): a 7-minute cut from 1:00.50
//    to 8:00.50, marks between key frames;
//  - on a 30-second 1920x1080 H.265 + AAC clip (25 fps, an IDR picture every
//    2 s; made once and reused): a 10-second cut from 0:10.50 to 0:20.50.
//
//  (a) the engine's smart copy ("-vcodec copy -acodec copy smart_copy=1"):
//      the groups of pictures inside the marks copied, the edges re-encoded;
//  (b) a plain packet copy of the same range over the libraries, snapped to
//      the key frame before the start (what a copy without re-encoding can do);
//  (c) a full re-encode of the range through the engine with the source's
//      encoder (libx264, libx265) at its defaults, the sound copied.
//
// Each runs in this process on the caller's thread (the encoders use their
// own threads); the best of `rounds` (default 2; the re-encode once). The
// figures and the ratios are printed, the ratios on one line per cut.
//
//   SmartCutBench [folder [rounds [h264|hevc]]]   (the last: that cut only)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "engine/FFmpeg.h"
#include "tools/fixtures/FixtureGenerator.h"

using namespace kelvane;

namespace {

// One cut: its clip, its marks and the source's encoder.
struct TCut {
  const char* Title;
  const char* ClipName;
  const char* Preset;
  const char* VideoEncoder;
  int Width, Height;
  double ClipSeconds;
  int32_t StartMs, LengthMs;
};

const TCut kCuts[] = {
    {"10-minute 1280x720 H.264 + AAC, cut 1:00.50 to 8:00.50", "kelvane-bench-10min-720p.mp4",
     "mp4-h264-aac", "libx264", 1280, 720, 600, 60500, 420000},
    {"30-second 1920x1080 H.265 + AAC, cut 0:10.50 to 0:20.50", "kelvane-bench-30s-1080p-hevc.mp4",
     "mp4-h264-aac", "libx265", 1920, 1080, 30, 10500, 10000},
};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The clip of a cut (the first the same SplitBench makes).
bool MakeClip(const TCut& cut, const std::string& clip) {
  if (std::filesystem::exists(clip)) return true;
  fixtures::TFixtureRecipe recipe;
  fixtures::FixturePreset(cut.Preset, recipe);
  recipe.Width = cut.Width;
  recipe.Height = cut.Height;
  recipe.Seconds = cut.ClipSeconds;
  recipe.GopSize = 50;
  recipe.SampleRate = 48000;
  if (std::string(cut.VideoEncoder) == "libx265") {
    recipe.VideoCodec = "libx265";
    recipe.PixelFormat = "yuv420p";
    recipe.IdrKeyFrames = true;
  }
  std::string error;
  std::printf("making %s (a few minutes, once) ...\n", clip.c_str());
  std::fflush(stdout);
  if (fixtures::GenerateFixture(recipe, clip, &error)) return true;
  std::fprintf(stderr, "cannot make the clip: %s\n", error.c_str());
  return false;
}

// One task through the engine; false with `error` set when it failed.
bool RunEngine(const TCut& cut, const std::string& input, const std::string& output,
               const std::string& video, const std::string& lines, TCutReport* report,
               std::string& error) {
  TFFConverter converter;
  if (converter.AddTask(input) < 0) {
    error = converter.LastError();
    return false;
  }
  TOutputOptions out;
  ResetOutputOptions(out);
  out.VideoCodec = video;
  out.AudioCodec = "copy";
  out.StartTime = cut.StartMs;
  out.RecordingTime = cut.LengthMs;
  out.ExtOptions = lines;
  if (!converter.SetOutput(0, output, &out)) {
    error = converter.LastError();
    return false;
  }
  std::string message = "no end event";
  converter.OnTerminate = [&](int32_t task, bool finished, bool exception,
                              const std::string& text) {
    if (task >= 0) message = finished && !exception ? "" : text;
  };
  converter.Start(0);
  if (report != nullptr) *report = converter.Task(0)->CutReport;
  converter.ClearTasks();
  error = message;
  return message.empty();
}

// The plain copy: seek to the key frame before the start, copy every packet
// up to the end, times moved so the key frame is at 0.
// The output of a plain copy: every stream of `in` as it is, the header
// written. Null (and `error` says why) when it cannot be.
std::unique_ptr<AVFormatContext, AVFormatContextDeleter> OpenCopyOutput(
    AVFormatContext* in, const std::string& output, std::string& error) {
  AVFormatContext* out_raw = nullptr;
  if (avformat.avformat_alloc_output_context2(&out_raw, nullptr, nullptr, output.c_str()) < 0) {
    error = "cannot make " + output;
    return nullptr;
  }
  std::unique_ptr<AVFormatContext, AVFormatContextDeleter> out(out_raw);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* s = avformat.avformat_new_stream(out_raw, nullptr);
    avcodec.avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar);
    s->codecpar->codec_tag = 0;
    s->time_base = in->streams[i]->time_base;
  }
  if (avformat.avio_open(&out_raw->pb, output.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat.avformat_write_header(out_raw, nullptr) < 0) {
    error = "cannot write " + output;
    return nullptr;
  }
  return out;
}

bool PlainCopy(const TCut& cut, const std::string& input, const std::string& output,
               std::string& error) {
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_open_input(&raw, input.c_str(), nullptr, nullptr) < 0) {
    error = "cannot open " + input;
    return false;
  }
  std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter> in(raw);
  if (avformat.avformat_find_stream_info(raw, nullptr) < 0) {
    error = "no stream information";
    return false;
  }
  std::unique_ptr<AVFormatContext, AVFormatContextDeleter> out =
      OpenCopyOutput(raw, output, error);
  if (!out) return false;
  AVFormatContext* out_raw = out.get();
  const int64_t start = int64_t(cut.StartMs) * 1000;
  const int64_t end = start + int64_t(cut.LengthMs) * 1000;
  avformat.av_seek_frame(raw, -1, start, AVSEEK_FLAG_BACKWARD);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  int64_t zero = AV_NOPTS_VALUE;  // µs: the key frame the copy starts with
  while (avformat.av_read_frame(raw, packet.get()) >= 0) {
    AVStream* s = raw->streams[packet->stream_index];
    const int64_t pts = packet->pts == AV_NOPTS_VALUE
                            ? AV_NOPTS_VALUE
                            : avutil.av_rescale_q(packet->pts, s->time_base, AV_TIME_BASE_Q);
    const bool video = s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    if (zero == AV_NOPTS_VALUE && !(video && (packet->flags & AV_PKT_FLAG_KEY))) {
      avcodec.av_packet_unref(packet.get());
      continue;
    }
    if (zero == AV_NOPTS_VALUE) zero = pts;
    if (pts != AV_NOPTS_VALUE && (pts < zero || pts >= end)) {
      const bool done = video && pts >= end + 1000000;
      avcodec.av_packet_unref(packet.get());
      if (done) break;
      continue;
    }
    const int64_t shift = avutil.av_rescale_q(zero, AV_TIME_BASE_Q, s->time_base);
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift;
    avcodec.av_packet_rescale_ts(packet.get(), s->time_base,
                                 out_raw->streams[packet->stream_index]->time_base);
    packet->pos = -1;
    if (avformat.av_interleaved_write_frame(out_raw, packet.get()) < 0) {
      error = "cannot write a packet";
      return false;
    }
  }
  avformat.av_write_trailer(out_raw);
  avformat.avio_closep(&out_raw->pb);
  return true;
}

template <class F>
double Best(int rounds, F run) {
  double best = 1e100;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
  }
  return best;
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
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
  const std::string only = argc > 3 ? argv[3] : "";
  const std::filesystem::path out = folder / "kelvane-bench-out";
  std::filesystem::create_directories(out);
  for (const TCut& cut : kCuts) {
    if (!only.empty() && (only == "hevc") != (std::string(cut.VideoEncoder) == "libx265")) continue;
    const std::string clip = (folder / cut.ClipName).string();
    if (!MakeClip(cut, clip)) return 1;
    std::string error;
    TCutReport report;
    const double smart = Best(rounds, [&] {
      return RunEngine(cut, clip, (out / "smart.mp4").string(), "copy", "smart_copy=1", &report,
                       error);
    });
    const double copy =
        Best(rounds, [&] { return PlainCopy(cut, clip, (out / "copy.mp4").string(), error); });
    const double full = Best(1, [&] {
      return RunEngine(cut, clip, (out / "full.mp4").string(), cut.VideoEncoder, "", nullptr,
                       error);
    });
    if (smart < 0 || copy < 0 || full < 0) {
      std::fprintf(stderr, "failed: %s\n", error.c_str());
      return 1;
    }
    const double pictures = double(report.CopiedPictures + report.EncodedPictures);
    std::printf("clip: %s; key frame every 2 s; clock seconds (best of %d; the re-encode once)\n",
                cut.Title, rounds);
    std::printf("smart copy   %7.2f  (%s: %lld pictures copied, %lld re-encoded, %.2f%% copied)\n",
                smart, report.Method.c_str(), static_cast<long long>(report.CopiedPictures),
                static_cast<long long>(report.EncodedPictures),
                pictures > 0 ? 100.0 * double(report.CopiedPictures) / pictures : 0.0);
    std::printf("plain copy   %7.2f  (from the key frame before the start)\n", copy);
    std::printf("re-encode    %7.2f  (%s defaults, sound copied)\n", full, cut.VideoEncoder);
    std::printf("ratios: re-encode / smart copy %.1f, smart copy / plain copy %.2f, smart copy - "
                "plain copy %.2f s\n",
                full / smart, smart / copy, smart - copy);
    std::fflush(stdout);
  }
  return 0;
}
