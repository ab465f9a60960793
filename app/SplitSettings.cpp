#include "app/SplitSettings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "app/CodecNames.h"
#include "app/Letterbox.h"
#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/SplitJob.h"
#include "app/TextUtils.h"

namespace kelvane {
namespace {

std::string NoChoiceMessage(const char* what) {
  return std::string("No ") + what +
         " is selected.\n\rPlease choose one in the Detailed Output Settings.";
}

std::string BadChoiceMessage(const char* what, const std::string& text) {
  return std::string("The ") + what + " \"" + text + "\" cannot be used.\n\rPlease choose another.";
}

bool FitsInt32(double value) {
  return value >= std::numeric_limits<int32_t>::min() &&
         value <= std::numeric_limits<int32_t>::max();
}

// A list entry's number ("1200 Kbps", "48000 Hz") as a whole positive number
// times `scale` that fits 32 bits; otherwise the refusal, naming the list.
int32_t ReadWholeEntry(const std::string& text, const char* what, int scale,
                       std::string& problem) {
  if (Trim(text).empty()) {
    problem = NoChoiceMessage(what);
    return 0;
  }
  const std::optional<long long> number = ParseInteger(NumberPart(text));
  if (!number || *number <= 0 || !FitsInt32(double(*number) * scale)) {
    problem = BadChoiceMessage(what, text);
    return 0;
  }
  return static_cast<int32_t>(*number * scale);
}

// "1200 Kbps" or "7.4 Kbps" in bits per second, rounded.
TBitrateChoice ReadKbps(const std::string& text, const char* what) {
  TBitrateChoice choice;
  const std::optional<double> kbps = ParseDecimal(NumberPart(text));
  if (!kbps || *kbps <= 0 || !FitsInt32(std::round(*kbps * 1000))) {
    choice.Problem = BadChoiceMessage(what, text);
  } else {
    choice.BitsPerSecond = static_cast<int32_t>(std::lround(*kbps * 1000));
  }
  return choice;
}

TBitrateChoice ReadVideoBitrate(const std::string& text, bool today) {
  const std::string shown = Trim(text);
  TBitrateChoice choice;
  if (today && (shown.empty() || !std::isdigit(static_cast<unsigned char>(shown[0])))) {
    choice.Quality = true;  // "Auto (quality)"
    return choice;
  }
  choice.BitsPerSecond = ReadWholeEntry(text, "video bitrate", 1000, choice.Problem);
  return choice;
}

TBitrateChoice ReadAudioBitrate(const std::string& text, bool today) {
  if (today) {
    // "Lossless" and the like: no rate of its own.
    if (!ParseDecimal(NumberPart(text))) return TBitrateChoice();
  } else if (Trim(text).empty()) {
    TBitrateChoice choice;
    choice.Problem = NoChoiceMessage("audio bitrate");
    return choice;
  }
  return ReadKbps(text, "audio bitrate");
}

TSampleRateChoice ReadSampleRate(const std::string& text, bool today) {
  TSampleRateChoice choice;
  if (today && LowerCase(Trim(text)) == "original") return choice;
  choice.Hz = ReadWholeEntry(text, "sample rate", 1, choice.Problem);
  return choice;
}

// Digits with at most one decimal point, as a fraction over a power of ten.
bool ReadDecimalFraction(const std::string& text, int64_t& num, int64_t& den) {
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string decimals = point == std::string::npos ? std::string() : text.substr(point + 1);
  if (whole.empty() || whole.size() > 9 || decimals.size() > 6 ||
      (point != std::string::npos && decimals.empty())) {
    return false;
  }
  num = 0;
  den = 1;
  for (char c : whole + decimals) {
    if (c < '0' || c > '9') return false;
    num = num * 10 + (c - '0');
  }
  for (size_t i = 0; i < decimals.size(); ++i) den *= 10;
  return true;
}

TFrameRateChoice ReadFrameRate(const std::string& text) {
  TFrameRateChoice choice;
  if (LowerCase(Trim(text)) == "auto") {
    choice.Source = true;
    return choice;
  }
  const std::string number = NumberPart(text);
  if (number.empty()) return choice;  // no rate of its own
  if (!ReadDecimalFraction(number, choice.Num, choice.Den) || choice.Num == 0) {
    choice = TFrameRateChoice();
    choice.Problem = BadChoiceMessage("frame rate", text);
  }
  return choice;
}

TSizeChoice ReadSize(const std::string& text) {
  TSizeChoice choice;
  const std::string shown = Trim(text);
  if (LowerCase(shown) == "original size") {
    choice.Original = true;
    return choice;
  }
  if (shown.empty()) {
    choice.Problem = NoChoiceMessage("size");
    return choice;
  }
  const std::string size = SizeWithoutLabel(shown);
  const size_t x = size.find('x');
  const std::optional<long long> width = ParseInteger(size.substr(0, x));
  const std::optional<long long> height =
      x == std::string::npos ? std::nullopt : ParseInteger(size.substr(x + 1));
  if (!width || !height || *width <= 0 || *height <= 0 || !FitsInt32(double(*width)) ||
      !FitsInt32(double(*height))) {
    choice.Problem = BadChoiceMessage("size", text);
    return choice;
  }
  choice.Width = static_cast<int32_t>(*width);
  choice.Height = static_cast<int32_t>(*height);
  return choice;
}

TQualityLevel ReadQualityLevel(const std::string& text) {
  const std::vector<std::string>& levels = QualityLevels();
  const auto level = std::find(levels.begin(), levels.end(), Trim(text));
  if (level == levels.end()) return TQualityLevel::Normal;
  return static_cast<TQualityLevel>(level - levels.begin());
}

TChannels ReadChannels(const std::string& text) {
  const std::string channels = LowerCase(Trim(text));
  if (channels == "mono") return TChannels::Mono;
  if (channels == "stereo") return TChannels::Stereo;
  return TChannels::Source;
}

}  // namespace

std::string TPictureSize::Text() const {
  if (Width < 0 || Height < 0) return std::string();
  return std::to_string(Width) + "x" + std::to_string(Height);
}

std::string WholeRateText(TWholeFrameRate rate) {
  return rate < 0 ? std::string() : std::to_string(rate);
}

std::string TSizeChoice::Text() const {
  if (Original) return std::string();
  return std::to_string(Width) + "x" + std::to_string(Height);
}

std::string TFrameRateChoice::Text() const {
  if (Num == 0 || Den <= 0) return std::string();
  std::string text = std::to_string(Num / Den);
  if (Den == 1) return text;
  std::string decimals = std::to_string(Num % Den);
  const size_t places = std::to_string(Den).size() - 1;
  decimals.insert(0, places - std::min(places, decimals.size()), '0');
  return text + "." + decimals;
}

TSplitSettings ReadSplitSettings(const TSplitJob& job) {
  const Quality* row = FindPreset(job.FormatText);
  const bool today = row != nullptr && row->Today != nullptr;
  TSplitSettings settings;
  settings.VideoEncoder = GetNewVideoCodec(job.VideoCodec);
  settings.VideoBitrate = ReadVideoBitrate(job.VideoBitrate, today);
  settings.Quality = ReadQualityLevel(job.VideoQuality);
  settings.Size = ReadSize(job.VideoSize);
  settings.FrameRate = ReadFrameRate(job.FrameRate);
  settings.Letterbox = job.LetterBoxIndex == 0 ? TLetterboxMode::None : TLetterboxMode::Bars;
  settings.AudioEncoder = GetNewAudioCodec(job.AudioCodec);
  settings.AudioBitrate = ReadAudioBitrate(job.AudioBitrate, today);
  settings.SampleRate = ReadSampleRate(job.SampleRate, today);
  settings.Channels = ReadChannels(job.AudioChannels);
  settings.Volume = job.Volume;
  return settings;
}

}  // namespace kelvane
