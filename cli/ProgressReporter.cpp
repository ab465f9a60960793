#include "cli/ProgressReporter.h"

#include <algorithm>
#include <cinttypes>

namespace kelvane::cli {

TProgressReporter::TProgressReporter(TMode mode, FILE* out, FILE* err)
    : mode_(mode), out_(out), err_(err), started_(std::chrono::steady_clock::now()) {}

int64_t TProgressReporter::ElapsedMs() const {
  auto now = std::chrono::steady_clock::now();
  auto running = now - started_ - paused_total_;
  if (paused_) running -= now - pause_began_;
  return std::chrono::duration_cast<std::chrono::milliseconds>(running).count();
}

std::string TProgressReporter::FormatClock(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  const int64_t seconds = milliseconds / 1000;
  char text[32];
  if (seconds >= 3600) {
    snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600,
             static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  } else {
    snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(seconds / 60),
             static_cast<int>(seconds % 60));
  }
  return text;
}

std::string TProgressReporter::FormatLine(const TProgressValues& values, int64_t elapsed_ms) {
  std::string line;
  char text[96];
  if (values.SegmentCount > 0) {
    snprintf(text, sizeof text, "segment %d of %d  ", values.Segment, values.SegmentCount);
    line += text;
  }
  const bool known = values.TotalOutputDuration > 0;
  if (known) {
    const int64_t percent = std::min<int64_t>(
        100, int64_t{values.CurrentDuration} * 100 / values.TotalOutputDuration);
    snprintf(text, sizeof text, "%3d%%  ", static_cast<int>(percent));
    line += text;
  }
  if (values.FrameNumber >= 0) {
    snprintf(text, sizeof text, "%d frames  ", values.FrameNumber);
    line += text;
  }
  line += "elapsed " + FormatClock(elapsed_ms);
  if (known && values.CurrentDuration > 0 && values.CurrentDuration < values.TotalOutputDuration) {
    const double rate = static_cast<double>(values.CurrentDuration) / std::max<int64_t>(1, elapsed_ms);
    const double left = (values.TotalOutputDuration - values.CurrentDuration) / rate;
    line += "  left " + FormatClock(static_cast<int64_t>(left));
  } else if (known && values.CurrentDuration >= values.TotalOutputDuration) {
    line += "  left 00:00";
  }
  return line;
}

std::string TProgressReporter::JsonString(const std::string& text) {
  std::string json = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json += static_cast<char>(c);
        }
    }
  }
  return json + "\"";
}

void TProgressReporter::EndTerminalLine() {
  if (line_open_) {
    fputc('\n', err_);
    line_open_ = false;
  }
}

void TProgressReporter::Started(const std::string& input, const std::string& output) {
  started_ = std::chrono::steady_clock::now();
  paused_total_ = {};
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"start\",\"input\":%s,\"output\":%s}\n", JsonString(input).c_str(),
            JsonString(output).c_str());
    fflush(out_);
  } else {
    fprintf(err_, "Splitting %s\n     into %s\n", input.c_str(), output.c_str());
    fflush(err_);
  }
}

void TProgressReporter::Explained(const std::string& line) {
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"plan\",\"text\":%s}\n", JsonString(line).c_str());
    fflush(out_);
  } else {
    fprintf(err_, "Output: %s\n", line.c_str());
    fflush(err_);
  }
}

void TProgressReporter::Progress(const TProgressValues& values) {
  const int64_t elapsed = ElapsedMs();
  switch (mode_) {
    case TMode::Json: {
      const int percent = values.TotalOutputDuration > 0
                              ? static_cast<int>(std::min<int64_t>(
                                    100, int64_t{values.CurrentDuration} * 100 /
                                             values.TotalOutputDuration))
                              : -1;
      const std::string segment =
          values.SegmentCount > 0 ? ",\"segment\":" + std::to_string(values.Segment) +
                                        ",\"segments\":" + std::to_string(values.SegmentCount)
                                  : std::string();
      fprintf(out_,
              "{\"event\":\"progress\",\"percent\":%d,\"frames\":%d,\"fps\":%d,"
              "\"position_ms\":%d,\"total_ms\":%d,\"size_bytes\":%" PRId64
              ",\"elapsed_ms\":%" PRId64 "%s}\n",
              percent, values.FrameNumber, values.FPS, values.CurrentDuration,
              values.TotalOutputDuration, values.CurrentSize, elapsed, segment.c_str());
      fflush(out_);
      break;
    }
    case TMode::Terminal:
      fprintf(err_, "\r\033[K%s", FormatLine(values, elapsed).c_str());
      fflush(err_);
      line_open_ = true;
      break;
    case TMode::Lines:
      fprintf(err_, "%s\n", FormatLine(values, elapsed).c_str());
      fflush(err_);
      break;
  }
}

void TProgressReporter::PauseBegan() {
  if (paused_) return;
  paused_ = true;
  pause_began_ = std::chrono::steady_clock::now();
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"paused\"}\n");
    fflush(out_);
  }
}

void TProgressReporter::PauseEnded() {
  if (!paused_) return;
  paused_ = false;
  paused_total_ += std::chrono::steady_clock::now() - pause_began_;
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"resumed\"}\n");
    fflush(out_);
  }
}

void TProgressReporter::Message(const std::string& caption, const std::string& text) {
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"message\",\"caption\":%s,\"text\":%s}\n",
            JsonString(caption).c_str(), JsonString(PlainMessage(text)).c_str());
    fflush(out_);
    return;
  }
  EndTerminalLine();
  fprintf(err_, "%s\n", PlainMessage(text).c_str());
  fflush(err_);
}

void TProgressReporter::LogLine(const std::string& level, const std::string& text) {
  if (mode_ == TMode::Json) {
    fprintf(out_, "{\"event\":\"log\",\"level\":%s,\"text\":%s}\n", JsonString(level).c_str(),
            JsonString(text).c_str());
    fflush(out_);
    return;
  }
  EndTerminalLine();
  fprintf(err_, "[%s] %s\n", level.c_str(), text.c_str());
  fflush(err_);
}

void TProgressReporter::Completed(TProgressValues last) {
  if (last.TotalOutputDuration <= 0 || last.CurrentDuration >= last.TotalOutputDuration) return;
  last.CurrentDuration = last.TotalOutputDuration;
  Progress(last);
}

std::string TProgressReporter::CheckJson(const std::optional<TSplitCheck>& check) {
  if (!check) return "null";
  if (!check->Done) {
    return "{\"matched\":false,\"problem\":" + JsonString(check->Problem) + "}";
  }
  char numbers[320];
  snprintf(numbers, sizeof numbers,
           ",\"frame_offset\":%d,\"frames\":%" PRId64 ",\"expected_frames\":%" PRId64
           ",\"duration_error_frames\":%" PRId64
           ",\"audio_start_ms\":%.1f,\"audio_end_ms\":%.1f,\"check_ms\":%" PRId64,
           check->FrameOffset, check->Frames, check->ExpectedFrames, check->DurationErrorFrames(),
           check->AudioStartMs, check->AudioEndMs, check->CheckMs);
  // A smart copy's copied pictures, compared byte for byte with the source's.
  const std::string copies =
      check->CopiedPictures < 0
          ? std::string()
          : ",\"copied_pictures\":" + std::to_string(check->CopiedPictures) +
                ",\"identical_pictures\":" + std::to_string(check->IdenticalPictures);
  return std::string("{\"matched\":") + (check->Matched() ? "true" : "false") +
         ",\"picture\":" + JsonString(check->PictureText()) + numbers + copies + "}";
}

void TProgressReporter::Finished(const TSplitResult& result) {
  const bool warn = result.Check && !result.Check->Matched();
  const std::string segment =
      result.SegmentCount > 0 ? "\"segment\":" + std::to_string(result.Segment) +
                                    ",\"segments\":" + std::to_string(result.SegmentCount) + ","
                              : std::string();
  if (mode_ == TMode::Json) {
    fprintf(out_,
            "{\"event\":\"result\",%s\"outcome\":%s,\"message\":%s,\"output\":%s,"
            "\"duration_ms\":%" PRId64 ",\"frames\":%d,\"streams\":%s,\"check\":%s,"
            "%s\"elapsed_ms\":%" PRId64 "}\n",
            segment.c_str(), JsonString(result.Outcome).c_str(),
            JsonString(PlainMessage(result.Message)).c_str(),
            JsonString(result.OutputPath).c_str(), result.OutputDurationMs, result.FramesWritten,
            JsonString(result.Streams).c_str(), CheckJson(result.Check).c_str(),
            result.Method.empty()
                ? ""
                : ("\"method\":" + JsonString(result.Method) +
                   ",\"method_reason\":" + JsonString(result.MethodReason) +
                   ",\"copied_pictures\":" + std::to_string(result.CopiedPictures) +
                   ",\"encoded_pictures\":" + std::to_string(result.EncodedPictures) + ",")
                      .c_str(),
            ElapsedMs());
    fflush(out_);
    if (warn) fprintf(err_, "%s\n", result.Check->StatusText().c_str());
    return;
  }
  EndTerminalLine();
  if (warn) fprintf(err_, "%s\n", result.Check->StatusText().c_str());
  if (result.SegmentCount > 0) {
    fprintf(out_, "segment:  %d of %d\n", result.Segment, result.SegmentCount);
  }
  fprintf(out_, "outcome:  %s\n", result.Outcome.c_str());
  if (!result.OutputPath.empty()) fprintf(out_, "output:   %s\n", result.OutputPath.c_str());
  if (result.OutputDurationMs >= 0) {
    fprintf(out_, "duration: %.2f s\n", static_cast<double>(result.OutputDurationMs) / 1000.0);
  }
  fprintf(out_, "frames:   %d\n", result.FramesWritten);
  if (!result.Streams.empty()) fprintf(out_, "streams:  %s\n", result.Streams.c_str());
  if (result.Check) fprintf(out_, "check:    %s\n", result.Check->Summary().c_str());
  if (!result.Method.empty()) {
    fprintf(out_, "method:   %s, %lld pictures copied, %lld re-encoded%s%s\n",
            result.Method.c_str(), static_cast<long long>(result.CopiedPictures),
            static_cast<long long>(result.EncodedPictures), result.MethodReason.empty() ? "" : ": ",
            result.MethodReason.c_str());
  }
  fprintf(out_, "time:     %s\n", FormatClock(ElapsedMs()).c_str());
  fflush(out_);
}

}  // namespace kelvane::cli
