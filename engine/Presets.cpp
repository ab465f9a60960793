// Option presets (apre, vpre, spre) and targets (vcd, svcd, dvd, dv).
#include <cmath>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>

#include "binding/FileUtils.h"
#include "engine/FFmpeg.h"
#include "engine/OptionValues.h"
#include "engine/Presets.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

// The built-in libx264 presets, written for today's libx264 wrapper: the
// generic codec options (g, bf, refs, subq, me_range, keyint_min, i_qfactor,
// qcomp, qmin, qmax, qdiff, trellis, maxrate, bufsize) plus libx264's own
// (coder, partitions, motion-est, direct-pred, b_strategy, sc_threshold,
// weightb, mixed-refs, 8x8dct, fast-pskip, b-pyramid, deblock, profile, level,
// qp, x264-params). Lines end with a line feed.
const TOptionsPreset BuiltInPresets[BuiltInPresetCount] = {
    {"libx264-baseline",
     "profile=baseline\ncoder=cavlc\nbf=0\nweightb=0\nweightp=none\n8x8dct=0\n"},
    {"libx264-default",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,b8x8\n"
     "motion-est=hex\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=3\n"
     "direct-pred=spatial\ntrellis=1\nmixed-refs=1\nweightb=1\n8x8dct=1\nfast-pskip=1\n"},
    {"libx264-fastfirstpass",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=none\nmotion-est=dia\n"
     "subq=1\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\ndirect-pred=auto\n"
     "trellis=0\nb-pyramid=none\nweightb=0\nmixed-refs=0\n8x8dct=0\nfast-pskip=1\n"},
    {"libx264-hq",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,b8x8\n"
     "motion-est=umh\nsubq=8\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=4\n"
     "direct-pred=auto\ntrellis=1\nweightb=1\nmixed-refs=1\n8x8dct=1\nfast-pskip=1\n"},
    {"libx264-ipod320",
     "profile=baseline\ncoder=cavlc\nbf=0\nweightb=0\nweightp=none\n8x8dct=0\nlevel=1.3\n"
     "maxrate=768000\nbufsize=3000000\n"},
    {"libx264-ipod640",
     "profile=baseline\ncoder=cavlc\nbf=0\nrefs=1\nweightb=0\nweightp=none\n8x8dct=0\n"
     "level=3.0\nmaxrate=10000000\nbufsize=10000000\n"},
    {"libx264-lossless_fast",
     "coder=cavlc\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i4x4,p8x8\n"
     "motion-est=hex\nsubq=3\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n"
     "direct-pred=spatial\nfast-pskip=1\nqp=0\n"},
    {"libx264-lossless_max",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,p4x4\n"
     "motion-est=esa\nsubq=8\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=16\n"
     "direct-pred=spatial\nmixed-refs=1\n8x8dct=1\nfast-pskip=1\nqp=0\n"},
    {"libx264-lossless_medium",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i4x4,p8x8,p4x4\n"
     "motion-est=hex\nsubq=5\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\n"
     "direct-pred=spatial\nfast-pskip=1\nqp=0\n"},
    {"libx264-lossless_slow",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,p4x4\n"
     "motion-est=umh\nsubq=6\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=2\n"
     "direct-pred=spatial\n8x8dct=1\nfast-pskip=1\nqp=0\n"},
    {"libx264-lossless_slower",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,p4x4\n"
     "motion-est=umh\nsubq=8\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=4\n"
     "direct-pred=spatial\nmixed-refs=1\n8x8dct=1\nfast-pskip=1\nqp=0\n"},
    {"libx264-lossless_ultrafast",
     "coder=cavlc\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=none\nmotion-est=dia\n"
     "subq=0\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirect-pred=spatial\n"
     "fast-pskip=1\nqp=0\n"},
    {"libx264-main", "profile=main\n8x8dct=0\n"},
    {"libx264-max",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=all\nmotion-est=tesa\n"
     "subq=10\nme_range=24\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
     "b_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=16\ndirect-pred=auto\n"
     "trellis=2\nweightb=1\nmixed-refs=1\n8x8dct=1\nfast-pskip=0\n"},
    {"libx264-normal",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,b8x8\n"
     "motion-est=hex\nsubq=6\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=2\n"
     "direct-pred=auto\ntrellis=0\nweightb=1\n8x8dct=1\nfast-pskip=1\n"},
    {"libx264-slowfirstpass",
     "coder=cabac\ndeblock=0:0\nx264-params=chroma-me=1\npartitions=i8x8,i4x4,p8x8,b8x8\n"
     "motion-est=hex\nsubq=6\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
     "i_qfactor=0.71\nb_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\n"
     "direct-pred=auto\ntrellis=0\nweightb=1\n8x8dct=1\nfast-pskip=1\n"},
};

namespace {

const char* FindBuiltInPreset(const std::string& name) {
  for (const TOptionsPreset& preset : BuiltInPresets) {
    if (strcasecmp(preset.Name, name.c_str()) == 0) return preset.Text;
  }
  return nullptr;
}

std::string Normalise(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      result += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

// A preset file is a regular file of option lines: a device or a pipe is none
// (reading /dev/zero would never end, a pipe may never deliver), and neither is
// anything over 1 MiB. False for those and for empty files.
bool ReadPresetFile(const std::string& name, std::string& text) {
  constexpr off_t kMaxPresetFileSize = 1 << 20;
  struct stat info {};
  if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxPresetFileSize) {
    return false;
  }
  std::ifstream file(name, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  text = content.str();
  return !text.empty();
}

enum TNorm { nmPAL, nmNTSC, nmFILM };
const char* const kTargetFrameRates[] = {"25", "30000/1001", "24000/1001"};

// What a target sets, in this order: codecs (none: kept), format, picture size
// and format by norm, frame rate of the norm, group size (15 in PAL, else 18),
// option defaults, audio rate and channels, mux preload (0: kept), and the
// aspect ratio assumed when none is given.
enum TTargetChannels { tcKept, tcStereo, tcMonoToStereo };
struct TTarget {
  const char* Type;
  const char* VideoCodec;
  const char* AudioCodec;
  const char* Format;
  const char* SizePAL;
  const char* SizeNTSC;
  const char* PixelFormatPAL;
  const char* PixelFormatNTSC;
  bool Gop;
  const char* Options;  // "name=value ..."; scan_offset is the MPEG-2 encoder's own
  int SampleRate;
  TTargetChannels Channels;
  float MuxPreload;
  const char* Aspect;
};

const TTarget kTargets[] = {
    {"vcd", "mpeg1video", "mp2", "vcd", "352x288", "352x240", nullptr, nullptr, true,
     "b=1150000 maxrate=1150000 minrate=1150000 bufsize=327680 ab=224000 packetsize=2324 "
     "muxrate=1411200", 44100, tcStereo, 0.44f, "4:3"},
    {"svcd", "mpeg2video", "mp2", "svcd", "480x576", "480x480", nullptr, nullptr, true,
     "b=2040000 maxrate=2516000 minrate=0 bufsize=1835008 scan_offset=1 ab=224000 "
     "packetsize=2324", 44100, tcMonoToStereo, 0.0f, "4:3"},
    {"dvd", "mpeg2video", "ac3", "dvd", "720x576", "720x480", nullptr, nullptr, true,
     "b=6000000 maxrate=9000000 minrate=0 bufsize=1835008 packetsize=2048 muxrate=10080000 "
     "ab=448000", 48000, tcMonoToStereo, 0.0f, "16:9"},
    {"dv", nullptr, nullptr, "dv", "720x576", "720x480", "yuv420p", "yuv411p", false, "", 48000,
     tcStereo, 0.0f, nullptr},
    {"dv50", nullptr, nullptr, "dv", "720x576", "720x480", "yuv422p", "yuv422p", false, "", 48000,
     tcStereo, 0.0f, nullptr},
};

// The video norm of a target given without one: the pending frame rate's, else
// the first input video's that tells, else the fallback.
TNorm GuessTargetNorm(const TCustomFFmpeg& task, const std::string& fallback_norm) {
  const TPendingSettings& Pending = task.Pending;
  if (Pending.frame_rate.den == 0) throw FFmpegException("frame_rate is invalid.");
  auto classify = [](AVRational rate, TNorm& result) {
    if (rate.den == 0) return false;
    long rounded = std::lround(rate.num * 1000.0 / rate.den);
    if (rounded == 25000) {
      result = nmPAL;
      return true;
    }
    if (rounded == 29970 || rounded == 23976) {
      result = nmNTSC;
      return true;
    }
    return false;
  };
  TNorm norm = nmPAL;
  bool decided = classify(Pending.frame_rate, norm);
  for (size_t i = 0; !decided && i < task.InputFiles.size(); ++i) {
    for (const TInputStream& stream : task.InputFiles[i]->streams) {
      if (stream.stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      AVRational rate = stream.stream->r_frame_rate.den ? stream.stream->r_frame_rate
                                                        : stream.stream->avg_frame_rate;
      if (classify(rate, norm)) {
        decided = true;
        break;
      }
    }
  }
  if (!decided) {
    norm = fallback_norm == "film" ? nmFILM : fallback_norm == "ntsc" ? nmNTSC : nmPAL;
  }
  if (task.Verbosity > 0) {
    task.Log(llVerbose, FormatText("Assuming %s for target.", norm == nmPAL ? "PAL" : "NTSC"));
  }
  return norm;
}

}  // namespace

void TCustomFFmpeg::ApplyPreset(char kind, const std::string& name) {
  if (name.empty()) return;
  std::string tried = name;
  std::string text;
  bool found = false;
  if (const char* builtin = FindBuiltInPreset(name)) {
    text = builtin;
    found = true;
  }
  TStreamKind stream_kind = kind == 'v' ? skVideo : kind == 'a' ? skAudio : skSubtitle;
  if (!found && !Pending.codec_name[stream_kind].empty()) {
    tried = Pending.codec_name[stream_kind] + "-" + name;
    if (const char* builtin = FindBuiltInPreset(tried)) {
      text = builtin;
      found = true;
    }
  }
  if (!found && FileExists(name)) {
    tried = name;
    found = ReadPresetFile(name, text);
  }
  if (!found) RaiseFFmpeg("Preset \"%s\" not found", tried.c_str());

  std::string lines = Normalise(Trim(text));
  size_t position = 0;
  int previous_kind = preferred_kind_;
  preferred_kind_ = stream_kind;
  try {
    while (position <= lines.size()) {
      size_t end = lines.find('\n', position);
      if (end == std::string::npos) end = lines.size();
      std::string line = Trim(lines.substr(position, end - position));
      position = end + 1;
      if (line.empty()) continue;
      size_t equals = line.find('=');
      std::string key = equals == std::string::npos ? std::string() : line.substr(0, equals);
      std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
      if (key.empty() || value.empty()) {
        RaiseFFmpeg("%s: Invalid syntax: \"%s\"", tried.c_str(), line.c_str());
      }
      if (strcasecmp(key.c_str(), "acodec") == 0) {
        SetCodecName(skAudio, value);
      } else if (strcasecmp(key.c_str(), "vcodec") == 0) {
        SetCodecName(skVideo, value);
      } else if (strcasecmp(key.c_str(), "scodec") == 0) {
        SetCodecName(skSubtitle, value);
      } else if (!SetOptionDefault(key, value)) {
        RaiseFFmpeg("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                    tried.c_str(), line.c_str(), key.c_str(), value.c_str());
      }
    }
  } catch (...) {
    preferred_kind_ = previous_kind;
    throw;
  }
  preferred_kind_ = previous_kind;
}

void TCustomFFmpeg::ApplyTarget(const std::string& value, const std::string& fallback_norm) {
  std::string type = value;
  std::string norm_name = "auto";
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    size_t length = std::strlen(prefix);
    if (value.compare(0, length, prefix) == 0) {
      norm_name = std::string(prefix, length - 1);
      type = value.substr(length);
      break;
    }
  }
  TNorm norm = nmPAL;
  if (norm_name == "pal") {
    norm = nmPAL;
  } else if (norm_name == "ntsc") {
    norm = nmNTSC;
  } else if (norm_name == "film") {
    norm = nmFILM;
  } else {
    norm = GuessTargetNorm(*this, fallback_norm);
  }

  const TTarget* target = nullptr;
  for (const TTarget& row : kTargets) {
    if (type == row.Type) {
      target = &row;
      break;
    }
  }
  if (!target) throw FFmpegException("Unknown target type");
  // Film takes the NTSC sizes at its own rate.
  const bool pal = norm == nmPAL;
  if (target->VideoCodec) SetCodecName(skVideo, target->VideoCodec);
  if (target->AudioCodec) SetCodecName(skAudio, target->AudioCodec);
  SetOutputFormat(target->Format);
  SetFrameSize(pal ? target->SizePAL : target->SizeNTSC);
  if (target->PixelFormatPAL) {
    SetPixelFormat(pal ? target->PixelFormatPAL : target->PixelFormatNTSC);
  }
  SetFrameRate(kTargetFrameRates[norm]);
  if (target->Gop) SetOptionDefault("g", pal ? "15" : "18");
  std::istringstream options(target->Options);
  for (std::string option; options >> option;) {
    const size_t equals = option.find('=');
    SetOptionDefault(option.substr(0, equals), option.substr(equals + 1));
  }
  Pending.audio_sample_rate = target->SampleRate;
  if (target->Channels == tcStereo || (target->Channels == tcMonoToStereo &&
                                       Pending.audio_channels == 1)) {
    Pending.audio_channels = 2;
  }
  if (target->MuxPreload > 0) Pending.mux_preload = target->MuxPreload;
  if (target->Aspect && Pending.frame_aspect_ratio == 0.0f) {
    Log(llInfo, FormatText("Assuming %s for aspect ratio", target->Aspect));
    SetAspectRatio(target->Aspect);
  }
}

}  // namespace kelvane
