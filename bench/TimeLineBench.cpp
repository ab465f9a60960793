// Time-line benchmark, printed on two lines:
//   - following a dragging hand: a simulated drag of 200 mouse events (one
//     every 16 ms, the file's 4 s to 54 s) over a generated 60 s 1920x1080
//     30 fps H.264 clip with a key frame every 2 s, paused, through the
//     window's own TScrubber into the player and a recording target
//     (1280x720 display area): for each event, the time until a picture at
//     its place (the key frame at or before it) or further along the hand is
//     on display, median and 95th percentile; and the time from letting go
//     to the exact picture there;
//   - the time line's scan (key frames, the strip of pictures and the sound's
//     peaks) of a generated 10-minute 1280x720 H.264 + AAC clip: wall time and
//     the scan thread's processor time, while the player plays the same file
//     (frames shown and shown late meanwhile).
//
//   TimeLineBench [folder]   the clips are made in (and reused from) `folder`,
//                            by default the system's temporary folder
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/TimeLine.h"
#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/RecordingDisplay.h"
#include "probe/TimelineScan.h"
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

bool MakeClip(const std::string& path, int width, int height, double seconds, int gop,
              int bit_rate) {
  if (std::filesystem::exists(path)) return true;
  fixtures::TFixtureRecipe recipe;
  fixtures::FixturePreset("mp4-h264-aac", recipe);
  recipe.Width = width;
  recipe.Height = height;
  recipe.FrameRate = {30, 1};
  recipe.Seconds = seconds;
  recipe.GopSize = gop;
  recipe.VideoBitRate = bit_rate;
  std::printf("making %s (once) ...\n", path.c_str());
  std::fflush(stdout);
  std::string error;
  if (!fixtures::GenerateFixture(recipe, path + ".part", &error)) {
    std::fprintf(stderr, "cannot make %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  std::filesystem::rename(path + ".part", path);
  return true;
}

struct TShown {
  TClock::time_point at;
  int64_t pts;
};

constexpr int kEvents = 200;
constexpr int64_t kFrom = 4000000;
constexpr int64_t kTo = 54000000;
constexpr int64_t kKeyFrameGap = 2000000;

// The hand's moves: kEvents places from kFrom to kTo, one every 16 ms, and a
// second's rest at the end while the last places are still on their way.
void MoveHand(TScrubber& scrubber, std::vector<TClock::time_point>& event_at,
              std::vector<int64_t>& event_place) {
  const TClock::time_point began = TClock::now();
  for (int i = 0; i < kEvents; ++i) {
    const TClock::time_point due = began + i * 16ms;
    while (TClock::now() < due) {
      PumpMessages();
      scrubber.Tick();
      std::this_thread::sleep_for(1ms);
    }
    event_place[i] = kFrom + (kTo - kFrom) * i / (kEvents - 1);
    event_at[i] = TClock::now();
    scrubber.MoveTo(event_place[i]);
  }
  const TClock::time_point rest_until = TClock::now() + 1s;
  while (TClock::now() < rest_until) {
    PumpMessages();
    scrubber.Tick();
    std::this_thread::sleep_for(1ms);
  }
}

// For each event, the time until a picture at its place (or further along)
// was shown before the hand let go; `missed` counts the events without one.
std::vector<double> Latencies(const std::vector<TShown>& shown,
                              const std::vector<TClock::time_point>& event_at,
                              const std::vector<int64_t>& event_place,
                              TClock::time_point released, int& missed) {
  std::vector<double> latencies;
  missed = 0;
  for (int i = 0; i < kEvents; ++i) {
    const int64_t key = event_place[i] / kKeyFrameGap * kKeyFrameGap;
    auto hit = std::find_if(shown.begin(), shown.end(), [&](const TShown& s) {
      return s.at >= event_at[i] && s.pts >= key && s.at < released;
    });
    if (hit == shown.end()) {
      ++missed;
    } else {
      latencies.push_back(Milliseconds(hit->at - event_at[i]));
    }
  }
  return latencies;
}

// Following a drag over `clip`, paused; prints the first line.
bool BenchDrag(TFFPlayer& player, const std::string& clip) {
  TRecordingDisplay display(1280, 720);
  std::mutex shown_mutex;
  std::vector<TShown> shown;
  display.OnPicture = [&](const TDisplayFrame& frame) {
    std::lock_guard<std::mutex> lock(shown_mutex);
    shown.push_back({TClock::now(), frame.PTS});
  };
  if (!player.Open(clip, &display)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return false;
  }
  WaitOnMainThread([&] { return display.PictureCount() > 0; }, 5s);
  player.Pause();
  WaitOnMainThread([&] { return player.SeekSettled(); }, 2s);
  {
    std::lock_guard<std::mutex> lock(shown_mutex);
    shown.clear();
  }
  TScrubber scrubber(player);
  std::vector<TClock::time_point> event_at(kEvents);
  std::vector<int64_t> event_place(kEvents);
  MoveHand(scrubber, event_at, event_place);
  const int seeks_sent = scrubber.SeeksSent();
  const int64_t release_place = kTo - 700000;
  const TClock::time_point released = TClock::now();
  scrubber.Release(release_place);
  TClock::time_point exact_at{};
  WaitOnMainThread([&] {
    const TShownFrame frame = player.ShownFrame();
    if (frame.PTS <= release_place && release_place < frame.PTS + std::max<int64_t>(frame.Duration, 1)) {
      exact_at = TClock::now();
      return true;
    }
    return false;
  }, 5s);
  player.Stop(true);
  std::vector<double> latencies;
  int missed = 0;
  {
    std::lock_guard<std::mutex> lock(shown_mutex);
    latencies = Latencies(shown, event_at, event_place, released, missed);
  }
  std::printf("TimeLineBench drag (1080p30 H.264, 2 s key frames, %d events every 16 ms): "
              "picture at the hand's place median %.0f ms, p95 %.0f ms, max %.0f ms "
              "(%d events without one; %d seeks asked); exact picture after letting go %.0f ms\n",
              kEvents, Percentile(latencies, 0.5), Percentile(latencies, 0.95),
              Percentile(latencies, 1.0), missed, seeks_sent,
              exact_at == TClock::time_point{} ? -1.0 : Milliseconds(exact_at - released));
  std::fflush(stdout);
  return true;
}

// The scan of `clip` while the player plays it; prints the second line.
bool BenchScan(TFFPlayer& player, const std::string& clip) {
  TRecordingDisplay playing(1280, 720);
  if (!player.Open(clip, &playing)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return false;
  }
  WaitOnMainThread([&] { return playing.PictureCount() > 0; }, 5s);
  // 5 s of playing alone, then 5 s (at least until the scan is done) with the scan.
  const TPlaybackStatistics alone_from = player.Statistics();
  WaitOnMainThread([] { return false; }, 5s);
  const TPlaybackStatistics before = player.Statistics();
  const TClock::time_point scan_began = TClock::now();
  TTimelineScan scan;
  std::atomic<bool> done{false};
  scan.OnProgress = [&] {
    if (scan.Facts().Done) {
      done = true;
      NotifyMainThread();
    }
  };
  scan.Start(clip, 54);
  WaitOnMainThread([&] { return done.load(); }, 120s);
  WaitOnMainThread([&] { return TClock::now() >= scan_began + 5s; }, 6s);
  const TPlaybackStatistics after = player.Statistics();
  player.Stop(true);
  const TTimelineFacts facts = scan.Facts();
  const TScanCost cost = scan.Cost();
  std::printf("TimeLineBench scan (10-minute 720p30 H.264 + AAC, 2 s key frames): %zu key frames, "
              "%zu pictures, %zu sound peaks in %.1f s (processor %.1f s)%s; the preview "
              "playing the same file: 5 s alone %lld frames shown, %lld late; 5 s from the "
              "scan's start %lld shown, %lld late\n",
              facts.KeyFrames.size(), facts.Thumbnails.size(), facts.Peaks.size(),
              cost.WallMicroseconds / 1e6, cost.CpuMicroseconds / 1e6,
              facts.Error.empty() ? "" : (" error: " + facts.Error).c_str(),
              static_cast<long long>(before.FramesShown - alone_from.FramesShown),
              static_cast<long long>(before.FramesLate - alone_from.FramesLate),
              static_cast<long long>(after.FramesShown - before.FramesShown),
              static_cast<long long>(after.FramesLate - before.FramesLate));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  SetMainThread();
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  TFFPlayer player;
  if (!player.LoadLibraries("") || !GetLoader().LoadLibraries(EngineLibraries)) {
    std::fprintf(stderr, "libraries: %s\n", player.LastErrMsg().c_str());
    return 1;
  }
  const std::string drag_clip = (folder / "kelvane-bench-60s-1080p-gop2s.mp4").string();
  const std::string long_clip = (folder / "kelvane-bench-10min-720p-gop2s.mp4").string();
  if (!MakeClip(drag_clip, 1920, 1080, 60, 60, 8000000) ||
      !MakeClip(long_clip, 1280, 720, 600, 60, 1500000)) {
    return 1;
  }
  if (!BenchDrag(player, drag_clip) || !BenchScan(player, long_clip)) return 1;
  return 0;
}
