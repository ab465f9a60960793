// The option language: splitting option lines and the option table.
#include <cmath>
#include <string>

#include "engine/FFmpeg.h"
#include "engine/OptionValues.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

namespace {

bool Flag(const std::string& value) { return value != "0"; }

int64_t ParseTime(const std::string& name, const std::string& value, bool duration) {
  int64_t result = 0;
  if (avutil.av_parse_time(&result, value.c_str(), duration ? 1 : 0) < 0) {
    RaiseFFmpeg("Invalid %s specification for %s: %s", duration ? "duration" : "date",
                name.c_str(), value.c_str());
  }
  return result;
}

using THandler = void (*)(TCustomFFmpeg& task, const std::string& name, const std::string& value);

struct TOptionRow {
  const char* name;
  THandler handler;
};

}  // namespace

// ---- splitting ----

void TCustomFFmpeg::ApplyOptionLines(const std::string& text, TOptionGroup group) {
  std::string rest = Trim(text);
  std::string normalised;
  normalised.reserve(rest.size());
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '\r') {
      normalised += '\n';
      if (i + 1 < rest.size() && rest[i + 1] == '\n') ++i;
    } else {
      normalised += rest[i];
    }
  }
  size_t position = 0;
  while (position < normalised.size()) {
    size_t end = normalised.find('\n', position);
    if (end == std::string::npos) end = normalised.size();
    std::string line = normalised.substr(position, end - position);
    position = end + 1;
    size_t equals = line.find('=');
    std::string name = equals == std::string::npos ? line : line.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
    if (OptionGroupOf(name) == group) SetOption(name, value);
  }
}

// ---- the option table ----

namespace {

void DoNothing(TCustomFFmpeg& task, const std::string& name, const std::string&) {
  task.Log(llInfo, "Do nothing: option - " + name);
}

// "auto" or 0: one thread per core, the libraries' own choice.
int ThreadCount(const std::string& value) {
  if (value == "auto") return 0;
  const int32_t count = StrToInt(value);
  if (count < 0) throw FFmpegException("Incorrect thread count: " + value);
  return count;
}

#define KV_HANDLER(body) \
  [](TCustomFFmpeg & task, const std::string& name, const std::string& value) { \
    (void)task; (void)name; (void)value; body; }

// The 108 names, matched in this order.
const TOptionRow OptionTable[] = {
    {"L", DoNothing},
    {"h", DoNothing},
    {"version", DoNothing},
    {"formats", DoNothing},
    {"i", DoNothing},
    {"y", DoNothing},
    {"benchmark", DoNothing},
    {"threads", KV_HANDLER(task.Pending.thread_count = ThreadCount(value))},
    // Files, formats and general run settings.
    {"f", KV_HANDLER(task.SetInputOrOutputFormat(value))},
    {"map", KV_HANDLER(task.SetStreamMap(value))},
    {"map_meta_data", KV_HANDLER(task.SetMetaDataMap(value))},
    {"t", KV_HANDLER({
       task.Settings.recording_time = ParseTime(name, value, true);
       if (task.Settings.recording_time > 0)
         task.TotalOutputDuration = int32_t(task.Settings.recording_time / 1000);
     })},
    {"fs", KV_HANDLER(task.Settings.limit_filesize = StrToInt64(value))},
    {"ss", KV_HANDLER(task.Settings.start_time = ParseTime(name, value, true))},
    {"itsoffset", KV_HANDLER(task.Pending.input_ts_offset = ParseTime(name, value, true))},
    {"itsscale", KV_HANDLER(task.SetTsScale(value))},
    {"timestamp", KV_HANDLER(task.Pending.recording_timestamp =
                                 std::llround(double(ParseTime(name, value, false)) / 1000000.0))},
    {"metadata", KV_HANDLER(task.SetMetadata(value))},
    {"dframes", KV_HANDLER(task.Settings.max_frames[AVMEDIA_TYPE_DATA] = StrToInt(value))},
    {"dump", KV_HANDLER(task.Settings.do_pkt_dump = Flag(value))},
    {"hex", KV_HANDLER(task.Settings.do_hex_dump = Flag(value))},
    {"re", KV_HANDLER(task.Settings.rate_emu = Flag(value))},
    {"loop_input", KV_HANDLER(task.Pending.loop_input = Flag(value))},
    {"loop_output", KV_HANDLER(task.Pending.loop_output = StrToInt(value))},
    {"v", KV_HANDLER(task.Verbosity = StrToInt(value))},
    {"loglevel", KV_HANDLER(task.SetLogLevel(value))},
    {"target", KV_HANDLER(task.ApplyTarget(value, "ntsc"))},
    {"vsync", KV_HANDLER(task.Settings.video_sync_method = StrToInt(value))},
    {"async", KV_HANDLER(task.Settings.audio_sync_method = StrToInt(value))},
    {"adrift_threshold", KV_HANDLER(task.Settings.audio_drift_threshold = float(StrToFloat(value)))},
    {"vglobal", KV_HANDLER(task.Pending.video_global_header = StrToInt(value))},
    {"copyts", KV_HANDLER(task.Settings.copy_ts = true)},
    {"shortest", KV_HANDLER(task.Settings.shortest = Flag(value))},
    {"dts_delta_threshold", KV_HANDLER(task.Settings.dts_delta_threshold = float(StrToFloat(value)))},
    {"programid", KV_HANDLER({
       task.Settings.program_id = StrToInt(value);
       task.Settings.program_id_set = true;
     })},
    {"xerror", KV_HANDLER(task.Settings.exit_on_error = true)},
    {"copyinkf", KV_HANDLER(task.Settings.copy_initial_nonkeyframes = StrToInt(value) != 0)},
    {"isync", KV_HANDLER(task.Settings.input_sync = Flag(value))},
    {"muxdelay", KV_HANDLER(task.Pending.mux_max_delay = float(StrToFloat(value)))},
    {"muxpreload", KV_HANDLER(task.Pending.mux_preload = float(StrToFloat(value)))},
    // Video.
    {"b", KV_HANDLER(task.SetBitRate(name, value))},
    {"vb", KV_HANDLER(task.SetBitRate(name, value))},
    {"vframes", KV_HANDLER(task.Settings.max_frames[AVMEDIA_TYPE_VIDEO] = StrToInt(value))},
    {"r", KV_HANDLER(task.SetFrameRate(value))},
    {"s", KV_HANDLER(task.SetFrameSize(value))},
    {"aspect", KV_HANDLER(task.SetAspectRatio(value))},
    {"pix_fmt", KV_HANDLER(task.SetPixelFormat(value))},
    {"croptop", KV_HANDLER(task.SetCrop(name, value))},
    {"cropbottom", KV_HANDLER(task.SetCrop(name, value))},
    {"cropleft", KV_HANDLER(task.SetCrop(name, value))},
    {"cropright", KV_HANDLER(task.SetCrop(name, value))},
    {"padtop", KV_HANDLER(task.SetPad(name, value))},
    {"padbottom", KV_HANDLER(task.SetPad(name, value))},
    {"padleft", KV_HANDLER(task.SetPad(name, value))},
    {"padright", KV_HANDLER(task.SetPad(name, value))},
    {"padcolor", KV_HANDLER(task.SetPadColor(uint32_t(StrToInt(value))))},
    {"intra", KV_HANDLER(task.Pending.intra_only = Flag(value))},
    {"vn", KV_HANDLER(task.Pending.disable[skVideo] = Flag(value))},
    {"vdt", KV_HANDLER(task.Pending.video_discard = StrToInt(value))},
    {"qscale", KV_HANDLER(task.SetQScale(value))},
    {"rc_override", KV_HANDLER(task.Pending.video_rc_override = value)},
    {"vcodec", KV_HANDLER(task.SetCodecName(skVideo, value))},
    {"me_threshold", KV_HANDLER({
       task.Pending.me_threshold = StrToInt(value);
       task.Settings.me_threshold = task.Pending.me_threshold;
     })},
    {"sameq", KV_HANDLER(task.Pending.same_quality = Flag(value))},
    {"pass", KV_HANDLER(task.SetPass(value))},
    {"passlogfile", KV_HANDLER(task.Settings.pass_logfile_prefix = value)},
    {"deinterlace", KV_HANDLER(task.Settings.deinterlace = Flag(value))},
    {"psnr", KV_HANDLER(task.Settings.do_psnr = Flag(value))},
    {"vstats", KV_HANDLER(task.SetStatisticsFile())},
    {"vstats_file", KV_HANDLER(task.Settings.vstats_filename = value)},
    {"vhook", KV_HANDLER(task.SetFrameHook(value))},
    {"vfilters", KV_HANDLER(task.Settings.filter_description = value)},
    {"intra_matrix", KV_HANDLER(task.SetMatrix(task.Pending.intra_matrix, value))},
    {"inter_matrix", KV_HANDLER(task.SetMatrix(task.Pending.inter_matrix, value))},
    {"top", KV_HANDLER(task.Settings.top_field_first = StrToInt(value))},
    {"dc", KV_HANDLER(task.Pending.intra_dc_precision = StrToInt(value))},
    {"vtag", KV_HANDLER(task.SetCodecTag(skVideo, value))},
    {"newvideo", KV_HANDLER(task.NewStreamOption(skVideo))},
    {"qphist", KV_HANDLER(task.Settings.qp_hist = Flag(value))},
    {"force_fps", KV_HANDLER(task.Pending.force_fps = Flag(value))},
    {"vc", KV_HANDLER(task.Pending.video_channel = StrToInt(value))},
    {"tvstd", KV_HANDLER(task.Pending.video_standard = value)},
    // Audio.
    {"ab", KV_HANDLER(task.SetBitRate(name, value))},
    {"aframes", KV_HANDLER(task.Settings.max_frames[AVMEDIA_TYPE_AUDIO] = StrToInt(value))},
    {"aq", KV_HANDLER(task.Pending.audio_qscale = float(StrToFloat(value)))},
    {"ar", KV_HANDLER({
       int32_t rate = StrToInt(value);
       if (rate > 0) task.Pending.audio_sample_rate = rate;
     })},
    {"ac", KV_HANDLER({
       int32_t channels = StrToInt(value);
       if (channels > 0) task.Pending.audio_channels = channels;
     })},
    {"an", KV_HANDLER(task.Pending.disable[skAudio] = Flag(value))},
    {"acodec", KV_HANDLER(task.SetCodecName(skAudio, value))},
    {"atag", KV_HANDLER(task.SetCodecTag(skAudio, value))},
    {"vol", KV_HANDLER(task.Settings.audio_volume = StrToInt(value))},
    {"newaudio", KV_HANDLER(task.NewStreamOption(skAudio))},
    {"alang", KV_HANDLER(task.Pending.audio_language = value)},
    {"sample_fmt", KV_HANDLER(task.SetSampleFormat(value))},
    // Subtitles.
    {"sn", KV_HANDLER(task.Pending.disable[skSubtitle] = Flag(value))},
    {"scodec", KV_HANDLER(task.SetCodecName(skSubtitle, value))},
    {"newsubtitle", KV_HANDLER(task.NewStreamOption(skSubtitle))},
    {"slang", KV_HANDLER(task.Pending.subtitle_language = value)},
    {"stag", KV_HANDLER(task.SetCodecTag(skSubtitle, value))},
    // Filters and presets.
    {"absf", KV_HANDLER(task.SetBitstreamFilter(name, value))},
    {"vbsf", KV_HANDLER(task.SetBitstreamFilter(name, value))},
    {"sbsf", KV_HANDLER(task.SetBitstreamFilter(name, value))},
    {"apre", KV_HANDLER(task.ApplyPreset('a', value))},
    {"vpre", KV_HANDLER(task.ApplyPreset('v', value))},
    {"spre", KV_HANDLER(task.ApplyPreset('s', value))},
    // Our own: "seek_ahead=0" decodes a split from the input's beginning.
    {"seek_ahead", KV_HANDLER(task.Settings.seek_ahead = Flag(value))},
    // Our own: "smart_copy=1" cuts copied video exactly (SmartCut.h).
    {"smart_copy", KV_HANDLER(task.Settings.smart_copy = Flag(value))},
    // Our own: "smart_reencode=libx264 preset=fast crf=18", one line per
    // encoder: how a smart copy re-encodes a cut it cannot copy in part.
    {"smart_reencode", KV_HANDLER(task.Settings.smart_reencode.push_back(value))},
};

#undef KV_HANDLER

}  // namespace

int OptionNameCount() { return int(sizeof(OptionTable) / sizeof(OptionTable[0])); }
const char* OptionName(int index) { return OptionTable[index].name; }

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
  for (const TOptionRow& row : OptionTable) {
    if (name == row.name) {
      row.handler(*this, name, value);
      return;
    }
  }
  SetOptionDefault(name, value);
}

}  // namespace kelvane
