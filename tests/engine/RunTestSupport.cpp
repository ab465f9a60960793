#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {

const TRunMedia& RunMedia() {
  static TTempDir* folder = new TTempDir();  // lives until the program ends
  static TRunMedia media = [] {
    TRunMedia m;
    m.Mp4 = MakeFixture(*folder, "mp4-h264-aac", "run8s.mp4", [](auto& r) { r.Seconds = 8.0; });
    m.Long = MakeFixture(*folder, "mp4-h264-aac", "run60s.mp4", [](auto& r) {
      r.Seconds = 60.0;
      r.Width = 160;
      r.Height = 120;
    });
    return m;
  }();
  return media;
}

TRecordingConverter::TRecordingConverter() {
  OnTerminate = [this](int32_t index, bool finished, bool exception, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    terminates_.push_back({index, finished, exception, message});
    if (index == -1) all_done_ = true;
    NotifyMainThread();
  };
  OnProgress = [this](const TProgressInfo& progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back(progress);
    NotifyMainThread();
  };
}

TRecordingConverter::~TRecordingConverter() {
  Stop(true);
  ClearTasks();
  WaitOnMainThread([this] { return TerminateEventsDone(); });
}

std::vector<TTerminateRecord> TRecordingConverter::Terminates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminates_;
}

std::vector<TProgressInfo> TRecordingConverter::Progress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progress_;
}

size_t TRecordingConverter::ProgressCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progress_.size();
}

bool TRecordingConverter::WaitAllDone(std::chrono::milliseconds timeout) {
  return WaitOnMainThread([this] { return all_done_.load() && TerminateEventsDone(); }, timeout);
}

bool TRecordingConverter::WaitProgress(size_t count, std::chrono::milliseconds timeout) {
  return WaitOnMainThread([this, count] { return ProgressCount() >= count; }, timeout);
}

TOutputOptions SplitOptions(int32_t start_ms, int32_t duration_ms, const std::string& video,
                            const std::string& audio) {
  TOutputOptions options;
  ResetOutputOptions(options);
  options.VideoCodec = video;
  options.AudioCodec = audio;
  if (start_ms > 0) options.StartTime = start_ms;
  if (duration_ms > 0) options.RecordingTime = duration_ms;
  return options;
}

TSplitResult Inspect(const std::string& path) {
  TSplitResult result;
  std::vector<fixtures::TDecodedFrame> frames;
  std::string error;
  if (!fixtures::DecodeVideoFrames(path, frames, &error)) {
    ADD_FAILURE() << error;
  } else if (!frames.empty()) {
    result.FirstIndex = frames.front().Index;
    result.Frames = static_cast<int>(frames.size());
  }
  fixtures::TMediaFacts facts = ReadFactsOrFail(path);
  if (const auto* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO)) {
    result.VideoDurationUs = video->DurationUs;
    result.VideoStartUs = video->StartTimeUs;
  }
  if (const auto* audio = facts.FirstOf(AVMEDIA_TYPE_AUDIO)) {
    result.AudioDurationUs = audio->DurationUs;
    result.AudioStartUs = audio->StartTimeUs;
  }
  return result;
}

std::string RunTasksSynchronously(TFFConverter& converter) {
  std::string message = "no end event";
  converter.OnTerminate = [&](int32_t task, bool finished, bool exception,
                              const std::string& text) {
    if (task < 0) return;
    message = finished && !exception ? "" : (text.empty() ? "stopped" : text);
  };
  converter.Start(0);
  converter.ClearTasks();
  converter.OnTerminate = nullptr;
  return message;
}

}  // namespace kelvane::test
