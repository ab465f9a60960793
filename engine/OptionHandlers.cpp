// The option handlers with more than a line of work, and the library options
// (codec, format and scaler options) an option line can set.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/FileUtils.h"
#include "binding/OptionDefaults.h"
#include "engine/FFmpeg.h"
#include "engine/OptionValues.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

void TCustomFFmpeg::SetStatisticsFile() {
  char clock[16] = "";
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(clock, sizeof(clock), "%H%M%S", &local);
  Settings.vstats_filename = FormatText("%svstats_%s.log", ProgramFolder().c_str(), clock);
}

// ---- handlers ----

std::string TCustomFFmpeg::LibraryFormatName(const std::string& name) {
  if (name != "pgmyuv") return name;
  Pending.pgmyuv = true;
  Log(llInfo, "pgmyuv format is deprecated, use image2");
  return "image2";
}

void TCustomFFmpeg::SetInputFormat(const std::string& name) {
  const std::string format = LibraryFormatName(name);
  const AVInputFormat* input = avformat.av_find_input_format(format.c_str());
  if (!input) RaiseFFmpeg("Unknown input format: %s", name.c_str());
  Pending.input_format = input;
}

void TCustomFFmpeg::SetOutputFormat(const std::string& name) {
  const std::string format = LibraryFormatName(name);
  const AVOutputFormat* output = avformat.av_guess_format(format.c_str(), nullptr, nullptr);
  if (!output) RaiseFFmpeg("Unknown output format: %s", name.c_str());
  Pending.output_format = output;
}

void TCustomFFmpeg::SetInputOrOutputFormat(const std::string& name) {
  const std::string format = LibraryFormatName(name);
  Pending.input_format = avformat.av_find_input_format(format.c_str());
  Pending.output_format = avformat.av_guess_format(format.c_str(), nullptr, nullptr);
  if (!Pending.input_format && !Pending.output_format) {
    RaiseFFmpeg("Unknown input or output format: %s", name.c_str());
  }
}

void TCustomFFmpeg::SetBitRate(const std::string& name, const std::string& value) {
  if (!SetOptionDefault(name, value)) return;
  bool audio = name[0] == 'a';
  int64_t rate = 0;
  if (OptionDefaults &&
      avutil.av_opt_get_int(OptionDefaults->CodecTemplate(audio ? AVMEDIA_TYPE_AUDIO
                                                                : AVMEDIA_TYPE_VIDEO),
                            "b", 0, &rate) >= 0 &&
      rate < 1000) {
    Log(llWarning,
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
  }
}

void TCustomFFmpeg::SetCodecName(TStreamKind kind, const std::string& value) {
  if (value.empty()) return;
  Pending.codec_name[kind].clear();
  if (value == "copy") {
    Pending.stream_copy[kind] = true;
  } else {
    Pending.codec_name[kind] = value;
  }
}

void TCustomFFmpeg::SetCodecTag(TStreamKind kind, const std::string& value) {
  if (value.empty()) return;
  if (value.size() != 4) {
    static const char* const kMessages[] = {"video tag parameter must be 4 chars",
                                            "audio tag parameter must be 4 chars",
                                            "subtitle tag parameter must be 4 chars"};
    throw FFmpegException(kMessages[kind]);
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
  Pending.codec_tag[kind] = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                            uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void TCustomFFmpeg::SetFrameSize(const std::string& value) {
  int width = 0, height = 0;
  if (avutil.av_parse_video_size(&width, &height, value.c_str()) < 0) {
    throw FFmpegException("Incorrect frame size");
  }
  if (width % 2 != 0 || height % 2 != 0) {
    throw FFmpegException("Frame size must be a multiple of 2");
  }
  Pending.frame_width = width;
  Pending.frame_height = height;
  Pending.frame_size_given = true;
}

void TCustomFFmpeg::SetFrameRate(const std::string& value) {
  if (value.empty()) return;
  AVRational rate{0, 0};
  if (avutil.av_parse_video_rate(&rate, value.c_str()) < 0) {
    throw FFmpegException("Incorrect frame rate");
  }
  Pending.frame_rate = rate;
  Pending.frame_rate_given = true;
}

void TCustomFFmpeg::SetAspectRatio(const std::string& value) {
  double ratio = 0;
  size_t colon = value.find(':');
  if (colon != std::string::npos) {
    int32_t x = StrToIntDef(value.substr(0, colon), 0);
    int32_t y = StrToIntDef(value.substr(colon + 1), 0);
    ratio = y > 0 ? double(x) / y : 0;
  } else if (!TryStrToFloat(value, ratio)) {
    ratio = 0;
  }
  if (float(ratio) == 0.0f) throw FFmpegException("Incorrect aspect ratio specification.");
  Pending.frame_aspect_ratio = float(ratio);
  Pending.frame_aspect_given = true;
}

void TCustomFFmpeg::SetCrop(const std::string& name, const std::string& value) {
  int32_t band = StrToInt(value);
  if (band < 0) return;
  if (name == "croptop" || name == "cropbottom") {
    if (band >= Pending.frame_height) {
      throw FFmpegException(
          "Vertical crop dimensions are outside the range of the original image.\n"
          "Remember to crop first and scale second.");
    }
    (name == "croptop" ? Settings.crop_top : Settings.crop_bottom) = band;
    Pending.frame_height -= band;
  } else {
    if (band >= Pending.frame_width) {
      throw FFmpegException(
          "Horizontal crop dimensions are outside the range of the original image.\n"
          "Remember to crop first and scale second.");
    }
    (name == "cropleft" ? Settings.crop_left : Settings.crop_right) = band;
    Pending.frame_width -= band;
  }
}

void TCustomFFmpeg::SetPad(const std::string& name, const std::string& value) {
  int32_t band = StrToInt(value);
  if (band < 0) return;
  if (name == "padtop") Settings.pad_top = band;
  else if (name == "padbottom") Settings.pad_bottom = band;
  else if (name == "padleft") Settings.pad_left = band;
  else if (name == "padright") Settings.pad_right = band;
}

void TCustomFFmpeg::SetPadColor(uint32_t rgb) {
  auto fix = [](double x) { return int(x * 1024 + 0.5); };
  int r = rgb & 0xff, g = (rgb >> 8) & 0xff, b = (rgb >> 16) & 0xff;
  int y = (fix(0.299) * r + fix(0.587) * g + fix(0.114) * b + 512) >> 10;
  int cb = ((-fix(0.16874) * r - fix(0.33126) * g + fix(0.5) * b + 512 - 1) >> 10) + 128;
  int cr = ((fix(0.5) * r - fix(0.41869) * g - fix(0.08131) * b + 512 - 1) >> 10) + 128;
  Settings.pad_color = {uint8_t(y), uint8_t(cb), uint8_t(cr)};
}

void TCustomFFmpeg::SetQScale(const std::string& value) {
  double q = StrToFloat(value);
  if (q <= 0 || q > 255) throw FFmpegException("qscale must be > 0.0 and <= 255");
  Pending.video_qscale = float(q);
}

void TCustomFFmpeg::SetPixelFormat(const std::string& value) {
  if (value == "list") {
    char line[128];
    for (int format = -1; format < AV_PIX_FMT_NB; ++format) {
      avutil.av_get_pix_fmt_string(line, sizeof(line), AVPixelFormat(format));
      Log(llInfo, Trim(line));
    }
    return;
  }
  AVPixelFormat format = avutil.av_get_pix_fmt(value.c_str());
  if (format == AV_PIX_FMT_NONE) RaiseFFmpeg("Unknown pixel format requested: %s", value.c_str());
  Pending.frame_pix_fmt = format;
}

void TCustomFFmpeg::SetSampleFormat(const std::string& value) {
  if (value == "list") {
    char line[128];
    for (int format = -1; format < AV_SAMPLE_FMT_NB; ++format) {
      avutil.av_get_sample_fmt_string(line, sizeof(line), AVSampleFormat(format));
      Log(llInfo, Trim(line));
    }
    return;
  }
  Pending.audio_sample_fmt = avutil.av_get_sample_fmt(value.c_str());
}

void TCustomFFmpeg::SetPass(const std::string& value) {
  int32_t pass = StrToInt(value);
  if (pass != 1 && pass != 2) throw FFmpegException("pass number can be only 1 or 2");
  Settings.do_pass = pass;
}

void TCustomFFmpeg::SetMatrix(std::vector<uint16_t>& matrix, const std::string& value) {
  matrix.assign(64, 0);
  const char* p = value.c_str();
  for (int i = 0; i < 64; ++i) {
    matrix[i] = uint16_t(std::atoi(p));
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p) RaiseFFmpeg("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i);
    ++p;
  }
}

void TCustomFFmpeg::SetStreamMap(const std::string& value) {
  if (int(StreamMaps.size()) >= MaxStreamMaps) {
    RaiseFFmpeg("Too many stream maps: at most %d", MaxStreamMaps);
  }
  TStreamMapEntry entry;
  const char* p = value.c_str();
  entry.FileIndex = int32_t(CNumber(p));
  if (*p) ++p;
  entry.StreamIndex = int32_t(CNumber(p));
  if (*p) {
    ++p;
    entry.SyncFileIndex = int32_t(CNumber(p));
    if (*p) ++p;
    entry.SyncStreamIndex = int32_t(CNumber(p));
  } else {
    entry.SyncFileIndex = entry.FileIndex;
    entry.SyncStreamIndex = entry.StreamIndex;
  }
  StreamMaps.push_back(entry);
}

void TCustomFFmpeg::SetMetaDataMap(const std::string& value) {
  if (int(MetaDataMaps.size()) >= MaxMetaDataMaps) {
    RaiseFFmpeg("Too many metadata maps: at most %d", MaxMetaDataMaps);
  }
  TMetaDataMap entry;
  const char* p = value.c_str();
  entry.OutFile = int32_t(CNumber(p));
  if (*p) ++p;
  entry.InFile = int32_t(CNumber(p));
  MetaDataMaps.push_back(entry);
}

void TCustomFFmpeg::SetTsScale(const std::string& value) {
  const char* p = value.c_str();
  long stream = CNumber(p);
  if (*p) ++p;
  double scale = CDecimal(p);
  if (stream < 0 || stream >= MaxStreams) {
    RaiseFFmpeg("stream index over MAX_STREAMS(%d)", MaxStreams);
  }
  Pending.input_ts_scale[stream] = scale;
}

void TCustomFFmpeg::SetMetadata(const std::string& value) {
  size_t equals = value.find('=');
  if (equals == std::string::npos) throw FFmpegException("Missing =");
  Pending.metadata.emplace_back(value.substr(0, equals), value.substr(equals + 1));
}

void TCustomFFmpeg::SetFrameHook(const std::string& value) {
  char separator = value.find('|') != std::string::npos ? '|' : ' ';
  std::vector<std::string> tokens;
  size_t position = 0;
  while (position <= value.size()) {
    size_t end = value.find(separator, position);
    if (end == std::string::npos) end = value.size();
    std::string token = value.substr(position, end - position);
    position = end + 1;
    if (!token.empty()) tokens.push_back(token);
  }
  // The plug-in name and its arguments must fit the token list.
  if (tokens.empty() || int(tokens.size()) > MaxHookTokens ||
      AddFrameHook(FrameHooks, tokens) != 0) {
    throw FFmpegException("Failed to add video hook function: " + value);
  }
  FrameHooksActive = true;
}

void TCustomFFmpeg::SetBitstreamFilter(const std::string& name, const std::string& value) {
  if (value.empty() || value[0] == '=') return;
  size_t equals = value.find('=', 1);
  std::string filter = equals == std::string::npos ? value : value.substr(0, equals);
  if (!avcodec.av_bsf_get_by_name(filter.c_str())) {
    RaiseFFmpeg("Unknown bitstream filter %s", Trim(value).c_str());
  }
  TStreamKind kind = name[0] == 'v' ? skVideo : name[0] == 'a' ? skAudio : skSubtitle;
  Pending.bitstream_filters[kind].push_back(value);
}

void TCustomFFmpeg::SetLogLevel(const std::string& value) {
  const std::optional<TLogLevel> named = LogLevelByName(value);
  const int level = named ? LogLevelToNumber(*named) : StrToInt(value);
  GetLogger().SetLogLevel(NumberToLogLevel(level));
}

void TCustomFFmpeg::NewStreamOption(TStreamKind kind) {
  if (OutputFiles.empty()) throw FFmpegException("At least one output file must be specified");
  TOutputFile& file = *OutputFiles.back();
  if (kind == skVideo) NewVideoStream(file);
  else if (kind == skAudio) NewAudioStream(file);
  else NewSubtitleStream(file);
}

// ---- library options ----

bool TCustomFFmpeg::CodecPrivateOption(const AVCodec* codec, const std::string& name,
                                       const std::string& value, bool& refused) {
  refused = false;
  if (!codec || !codec->priv_class) return false;
  const AVClass* codec_class = codec->priv_class;
  if (!avutil.av_opt_find(&codec_class, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
    return false;
  }
  // Try the value on a fresh context of the encoder so a refusal shows now.
  AVCodecContextPtr probe(avcodec.avcodec_alloc_context3(codec));
  if (!probe || !probe->priv_data ||
      avutil.av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) < 0) {
    refused = true;
  }
  return true;
}

bool TCustomFFmpeg::SetOptionDefault(const std::string& name, const std::string& value) {
  if (Trim(name).empty() || Trim(value).empty()) return false;
  if (!OptionDefaults) return false;
  // An option the chosen encoder declares itself belongs to that encoder, even
  // when a generic option of the same name exists ("profile", "level"). The
  // kind of the preset being applied is asked first.
  int order[3] = {skVideo, skAudio, skSubtitle};
  if (preferred_kind_ >= 0) std::swap(order[0], order[preferred_kind_]);
  for (int kind : order) {
    if (Pending.codec_name[kind].empty() || Pending.stream_copy[kind]) continue;
    const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(Pending.codec_name[kind].c_str());
    bool refused = false;
    if (CodecPrivateOption(codec, name, value, refused)) {
      if (refused) {
        Log(llError, FormatText("Invalid value \"%s\" for option \"%s\"\n", value.c_str(),
                                name.c_str()));
        return false;
      }
      Pending.codec_private_options.push_back({kind, name, value});
      return true;
    }
  }
  return OptionDefaults->SetOptionDefault(name, value);
}

void TCustomFFmpeg::ApplyPrivateOptions(TOutputStream& stream) {
  if (!stream.encoder_context || !stream.encoder_context->codec) return;
  if (OptionDefaults) OptionDefaults->ApplyOptionDefaultsToEncoderPrivate(stream.encoder_context.get());
  if (!stream.encoder || !stream.encoder->priv_class || !stream.encoder_context->priv_data) return;
  int kind = stream.encoder->type == AVMEDIA_TYPE_VIDEO   ? skVideo
             : stream.encoder->type == AVMEDIA_TYPE_AUDIO ? skAudio
                                                          : skSubtitle;
  for (const auto& option : Pending.codec_private_options) {
    if (option.kind != kind) continue;
    const AVClass* codec_class = stream.encoder->priv_class;
    if (!avutil.av_opt_find(&codec_class, option.name.c_str(), nullptr, 0,
                            AV_OPT_SEARCH_FAKE_OBJ)) {
      continue;
    }
    if (avutil.av_opt_set(stream.encoder_context->priv_data, option.name.c_str(),
                          option.value.c_str(), 0) < 0) {
      Log(llError, FormatText("Invalid value \"%s\" for option \"%s\"\n", option.value.c_str(),
                              option.name.c_str()));
    }
  }
}

}  // namespace kelvane
