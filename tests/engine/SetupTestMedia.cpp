#include "tests/engine/SetupTestMedia.h"

#include <fstream>

#include "binding/OptionDefaults.h"

namespace kelvane::test {

const TSetupMedia& SetupMedia() {
  static TTempDir* folder = new TTempDir();  // lives until the program ends
  static TSetupMedia media = [] {
    TSetupMedia m;
    m.Video640 = MakeFixture(*folder, "mp4-h264-aac", "video640.mp4", [](auto& r) {
      r.Width = 640;
      r.Height = 480;
      r.Seconds = 2.0;
    });
    m.Video3s = MakeFixture(*folder, "mp4-h264-aac", "video3s.mp4",
                            [](auto& r) { r.Seconds = 3.0; });
    m.AudioOnly = MakeFixture(*folder, "wav-pcm", "audio.wav", [](auto& r) { r.Seconds = 1.0; });
    m.NotMedia = folder->File("notmedia.bin");
    std::ofstream out(m.NotMedia, std::ios::binary);
    uint32_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
      state = state * 1103515245u + 12345u;
      out.put(char(state >> 24));
    }
    return m;
  }();
  return media;
}

void TTaskTest::SetUp() {
  TMediaTest::SetUp();
  saved_level_ = GetLogger().LogLevel();
  GetLogger().SetLogLevel(llDebug);
  GetLogger().OnLog = [this](const void*, uint32_t, TLogLevel, const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_.push_back(text);
  };
  task_ = std::make_unique<TFFmpeg>();
  task_->Reset();
}

void TTaskTest::TearDown() {
  task_.reset();
  GetLogger().OnLog = nullptr;
  GetLogger().SetLogLevel(saved_level_);
}

std::string TTaskTest::ErrorOf(const std::string& name, const std::string& value) {
  try {
    task_->SetOption(name, value);
  } catch (const FFmpegException& error) {
    return error.what();
  }
  return "";
}

std::string TTaskTest::ErrorOfLines(const std::string& text, TOptionGroup group) {
  try {
    task_->ApplyOptionLines(text, group);
  } catch (const FFmpegException& error) {
    return error.what();
  }
  return "";
}

bool TTaskTest::Logged(const std::string& part) const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  for (const std::string& line : log_) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> TTaskTest::Lines() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return log_;
}

int64_t TTaskTest::VideoTemplateInt(const char* name) const {
  int64_t value = -1;
  avutil.av_opt_get_int(task_->OptionDefaults->CodecTemplate(AVMEDIA_TYPE_VIDEO), name, 0, &value);
  return value;
}

}  // namespace kelvane::test
