// Player benchmark, printed on one line:
//   - 20 s of a generated 1920x1080 30 fps H.264 + AAC clip played through a
//     recording target (1280x720 display area) with SDL's dummy sound driver:
//     frames shown, frames shown more than one frame period late, the largest
//     difference between picture and sound clock;
//   - 50 exact seeks to random times in a 60 s 1280x720 H.264 clip with 2 s
//     key-frame spacing, while paused: time from Seek to the target picture on
//     display (median, 95th percentile), next to the same seeks done by a
//     minimal loop over the libraries (seek to the key frame before, decode
//     with one thread per core up to the target);
//   - StepFrame(-1) after each seek: median time until the picture before is
//     on display.
//
//   PlayerBench [folder]    the clips are made in (and reused from) `folder`,
//                           by default the system's temporary folder
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/RecordingDisplay.h"
#include "tools/fixtures/FixtureGenerator.h"

using namespace kelvane;
using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

double Milliseconds(TClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * values.size()));
  return values[at];
}

bool MakeClip(const std::string& path, int width, int height, double seconds, int gop) {
  if (std::filesystem::exists(path)) return true;
  fixtures::TFixtureRecipe recipe;
  recipe.Width = width;
  recipe.Height = height;
  recipe.FrameRate = {30, 1};
  recipe.Seconds = seconds;
  recipe.GopSize = gop;
  recipe.VideoBitRate = width >= 1920 ? 8000000 : 4000000;
  std::string error;
  if (!fixtures::GenerateFixture(recipe, path + ".part", &error)) {
    fprintf(stderr, "cannot make %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  std::filesystem::rename(path + ".part", path);
  return true;
}

// The minimal exact seek: key frame at or before, decode up to the target.
class TLibrarySeeker {
 public:
  explicit TLibrarySeeker(const std::string& path) {
    avformat.avformat_open_input(&input_, path.c_str(), nullptr, nullptr);
    avformat.avformat_find_stream_info(input_, nullptr);
    stream_ = avformat.av_find_best_stream(input_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVStream* stream = input_->streams[stream_];
    const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
    decoder_.reset(avcodec.avcodec_alloc_context3(codec));
    avcodec.avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
    decoder_->thread_count = 0;
    avcodec.avcodec_open2(decoder_.get(), codec, nullptr);
  }
  ~TLibrarySeeker() { avformat.avformat_close_input(&input_); }

  void Seek(int64_t target_us) {
    AVStream* stream = input_->streams[stream_];
    const int64_t target = avutil.av_rescale_q(target_us, AV_TIME_BASE_Q, stream->time_base);
    avformat.avformat_seek_file(input_, -1, INT64_MIN, target_us, target_us, 0);
    avcodec.avcodec_flush_buffers(decoder_.get());
    AVPacketPtr packet(avcodec.av_packet_alloc());
    AVFramePtr frame(avutil.av_frame_alloc());
    while (avformat.av_read_frame(input_, packet.get()) >= 0) {
      if (packet->stream_index == stream_) avcodec.avcodec_send_packet(decoder_.get(), packet.get());
      avcodec.av_packet_unref(packet.get());
      while (avcodec.avcodec_receive_frame(decoder_.get(), frame.get()) == 0) {
        const int64_t pts = frame->best_effort_timestamp;
        avutil.av_frame_unref(frame.get());
        if (pts + 1 >= target) return;  // at (or one tick before) the target: done
      }
    }
  }

 private:
  AVFormatContext* input_ = nullptr;
  AVCodecContextPtr decoder_;
  int stream_ = -1;
};

// 50 exact seeks to random places of the paused file and a frame back from
// each: how long each took (ms), and the places.
void TimeSeeks(TFFPlayer& player, TRecordingDisplay& display, std::vector<double>& seeks,
               std::vector<double>& steps, std::vector<int64_t>& targets) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int64_t> when(0, 58000000);
  for (int i = 0; i < 50; ++i) {
    const int64_t target = when(random);
    targets.push_back(target);
    const int shown = display.PictureCount();
    const auto start = TClock::now();
    player.Seek(target);
    WaitOnMainThread([&] { return display.PictureCount() > shown; }, 5s);
    seeks.push_back(Milliseconds(TClock::now() - start));
    const auto step = TClock::now();
    if (player.StepFrame(-1)) steps.push_back(Milliseconds(TClock::now() - step));
  }
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  SetMainThread();
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  TFFPlayer player;
  if (!player.LoadLibraries("") || !GetLoader().LoadLibraries(EngineLibraries)) {
    fprintf(stderr, "libraries: %s\n", player.LastErrMsg().c_str());
    return 1;
  }
  const std::string playback = (folder / "kelvane-bench-1080p30.mp4").string();
  const std::string seeking = (folder / "kelvane-bench-720p-gop2s.mp4").string();
  if (!MakeClip(playback, 1920, 1080, 20, 60) || !MakeClip(seeking, 1280, 720, 60, 60)) return 1;

  // Playback in real time.
  TRecordingDisplay display(1280, 720);
  bool ended = false;
  player.OnState = [&ended](TPlayState state) {
    if (state == psEnd) ended = true;
  };
  if (!player.Open(playback, &display)) {
    fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  WaitOnMainThread([&] { return ended; }, 40s);
  const TPlaybackStatistics played = player.Statistics();
  player.Stop(true);

  // Exact seeks and one frame back, paused.
  if (!player.Open(seeking, &display)) return 1;
  WaitOnMainThread([&] { return display.PictureCount() > 0; }, 5s);
  player.Pause();
  std::vector<double> seeks;
  std::vector<double> steps;
  std::vector<int64_t> targets;
  TimeSeeks(player, display, seeks, steps, targets);
  player.Stop(true);

  TLibrarySeeker library(seeking);
  std::vector<double> library_seeks;
  for (int64_t target : targets) {
    const auto start = TClock::now();
    library.Seek(target);
    library_seeks.push_back(Milliseconds(TClock::now() - start));
  }

  const double late_share =
      played.FramesShown > 0 ? 100.0 * played.FramesLate / played.FramesShown : 0;
  printf("PlayerBench: 1080p30 20 s: %lld frames shown, %lld late (%.2f%%), max A/V %.1f ms; "
         "exact seek (720p, 2 s key frames) median %.0f ms, p95 %.0f ms (libraries alone "
         "median %.0f ms, p95 %.0f ms); StepFrame(-1) median %.0f ms\n",
         static_cast<long long>(played.FramesShown), static_cast<long long>(played.FramesLate),
         late_share, static_cast<double>(played.MaxAVDifference) / 1000.0,
         Percentile(seeks, 0.5), Percentile(seeks, 0.95), Percentile(library_seeks, 0.5),
         Percentile(library_seeks, 0.95), Percentile(steps, 0.5));
  return 0;
}
