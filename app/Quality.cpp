#include "app/Quality.h"

#include "app/TextUtils.h"

namespace kelvane {
namespace {

// A row the format list never offers: only its name and container are known.
Quality Unlisted(const char* name, const char* container) {
  Quality row;
  row.Name = name;
  row.Container = container;
  return row;
}

Quality Row(const char* name, const char* container, std::array<std::string, 5> video_bitrates,
            std::array<std::string, 5> audio_bitrates, const char* video_codecs,
            const char* video_bitrate, const char* sizes, const char* frame_rates,
            const char* audio_codecs, const char* audio_bitrate, const char* sample_rates) {
  Quality row;
  row.Name = name;
  row.Container = container;
  row.VideoBitrates = std::move(video_bitrates);
  row.AudioBitrates = std::move(audio_bitrates);
  row.VideoCodecs = video_codecs;
  row.VideoBitrate = video_bitrate;
  row.Sizes = sizes;
  row.FrameRates = frame_rates;
  row.AudioCodecs = audio_codecs;
  row.AudioBitrate = audio_bitrate;
  row.SampleRates = sample_rates;
  return row;
}

const char kMobileSizes[] = "1408x1152-704x576-352x288-176x144default-128x96";

std::vector<Quality> BuildTable() {
  std::vector<Quality> t;
  t.reserve(PresetCount);
  // 0 - 9
  t.push_back(Row("3GP - Mobile Video Format (*.3gp)", "3GP", {"512", "256", "120", "80", "40"},
                  {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault",
                  kMobileSizes, "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault",
                  "8000 HzONLY"));
  t.push_back(Row("3G2 - Mobile Video Format (*.3g2)", "3G2", {"512", "256", "120", "80", "40"},
                  {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault",
                  kMobileSizes, "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault",
                  "8000 HzONLY"));
  t.push_back(Unlisted("3Gxx - Mobile Video Format (*.3g2)", ""));
  t.push_back(Row("iPod (*.mp4)", "MP4", {"2500", "1500", "1200", "512", "256"},
                  {"320", "192", "128", "96", "64"}, "mpeg4", "1200default", "320x240ONLY", "",
                  "mpeg4aac", "128default", "44100default"));
  t.push_back(Unlisted("iPod Extra (640 x 480) (*.mp4)", "MP4"));
  t.push_back(Unlisted("iPod Wide Screen xxxxxxxxxxxxxxxx not available(*.mp4)", "MP4"));
  t.push_back(Row("iPod Video For TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
                  {"256", "192", "128", "96", "64"}, "mpeg4", "2500 Kbpsdefault", "640x480ONLY",
                  "", "mpeg4aac", "128default", "44100default"));
  t.push_back(Unlisted("Apple TV H264 (320 x 240) (*.mp4)", "MP4"));
  t.push_back(Unlisted("Apple TV H264 (640 x 480) (*.mp4)", "MP4"));
  t.push_back(Unlisted("Apple TV H264 (1280 x 720) (*.mp4)", "MP4"));
  // 10 - 19
  t.push_back(Row("Apple TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
                  {"256", "128", "64", "48", "32"}, "mpeg4", "1500 Kbpsdefault", "640x480ONLY", "",
                  "mpeg4aac", "128default", "44100default"));
  t.push_back(Unlisted("Apple TV (Normal Quality) (*.mp4)", "MP4"));
  t.push_back(Unlisted("Apple TV (High Quality) (*.mp4)", "MP4"));
  t.push_back(Row("iPod Touch (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
                  {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY",
                  "", "mpeg4aac", "128default", "44100default"));
  t.push_back(Unlisted("iPod Touch Extra (640 x 480) (*.mp4)", "MP4"));
  t.push_back(Unlisted("iPod Touch Wide Screen (*.mp4)", "MP4"));
  t.push_back(Unlisted("iPod Touchx", "MP4"));
  t.push_back(Unlisted("iPod Touchy", "MP4"));
  t.push_back(Row("iPhone (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
                  {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY",
                  "", "mpeg4aac", "128default", "44100default"));
  t.push_back(Unlisted("iPhone Extra (640 x 480) (*.mp4)", "MP4"));
  // 20 - 29
  t.push_back(Unlisted("iPhone Wide Screen (*.mp4)", "MP4"));
  t.push_back(Unlisted("iphonexxxx", "MP4"));
  t.push_back(Row("AVI - Audio Video Interleave (*.avi)", "AVI",
                  {"2500", "1500", "1200", "512", "256"}, {"320", "192", "128", "64", "48"},
                  "mpeg4default-h264", "1200default", "Original Sizedefault", "",
                  "pcm_s16ledefault-mp3-ac3", "128default", "44100default"));
  t.push_back(Row("AVI - DivX Video (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
                  {"320", "192", "128", "64", "48"}, "mpeg4", "1200default",
                  "Original Sizedefault", "", "MP3", "128default", "44100default"));
  t.push_back(Unlisted("AVI - XviD Video (*.avi)", "AVI"));
  t.push_back(Unlisted("AVI - Uncompress (*.avi)", "AVI"));
  t.push_back(Row("MOV - QuickTime Video (*.mov)", "MOV", {"2500", "2000", "1200", "768", "512"},
                  {"256", "192", "128", "80", "64"}, "mpeg4_qt", "1200default",
                  "Original Sizedefault", "", "mpeg4aac_qt", "128default", "48000default"));
  t.push_back(Row("MP4 - MPEG4 Video (*.mp4)", "MP4", {"2500", "1500", "1200", "768", "512"},
                  {"256", "192", "128", "80", "64"}, "mpeg4default-h264", "1500 Kbpsdefault",
                  "Original Sizedefault", "", "mpeg4aac", "128default", "48000default"));
  t.push_back(Row("MPEG-1 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
                  {"224", "192", "128", "80", "64"}, "mpeg1video", "1600 Kbpsdefault",
                  "320x240default", "", "mp2", "192default", "44100default"));
  t.push_back(Row("MPEG-2 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
                  {"224", "192", "128", "80", "64"}, "mpeg2video", "1600 Kbpsdefault",
                  "320x240default", "", "mp2", "192default", "44100default"));
  // 30 - 39
  t.push_back(Row("RM - Real Video (*.rm)", "RM", {"1200", "512", "384", "256", "128"},
                  {"160", "128", "96", "64", "48"}, "rv10default-rv20", "384default",
                  "320x240default", "", "ac3", "128default", "44100default"));
  t.push_back(Row("WMV - Windows Media Video (*.wmv)", "WMV",
                  {"4000", "2000", "1500", "1200", "768"}, {"256", "192", "128", "80", "48"},
                  "wmv3x", "1500 Kbpsdefault", "Original Sizedefault", "", "wma7x", "128default",
                  "48000default"));
  t.push_back(Row("SWF - Flash Swf Video (*.swf)", "SWF", {"800", "400", "200", "128", "100"},
                  {"160", "128", "96", "64", "48"}, "flv", "200default", "Original Sizedefault",
                  "15", "MP3", "96default", "44100 Hzdefault-22050 Hz-11025 Hz"));
  t.push_back(Row("FLV - Flash Flv Video (*.flv)", "FLV", {"1200", "512", "368", "200", "120"},
                  {"160", "128", "96", "64", "48"}, "flv", "368default", "Original Sizedefault",
                  "15", "MP3", "96default", "44100 Hzdefault-22050 Hz-11025 Hz"));
  t.push_back(Row("Video CD (*.mpg)", "MPG", {"1150", "1000", "1000", "768", "768"},
                  {"320", "160", "96", "56", "32"}, "mpeg1video", "1150default",
                  "704x576-640x480-480x272-352x240default-352x288-176x144-128x96",
                  "29.97 fpsdefault-25 fps", "mp2", "320default", "44100default"));
  t.push_back(Row("Super Video CD (*.mpg)", "MPG", {"2500", "2040", "2000", "1500", "768"},
                  {"320", "224", "160", "96", "32"}, "mpeg2video", "2040default",
                  "486x576-486x480default", "29.97 fpsdefault-25 fps", "mp2", "224default",
                  "44100default"));
  t.push_back(Row("DVD - VOB (*.vob)", "VOB", {"8000", "6000", "5000", "4000", "3000"},
                  {"448", "160", "96", "56", "32"}, "mpeg2video", "5000default",
                  "720x480default-704x576-640x480-480x272-352x240-352x288-176x144-128x96",
                  "29.97 fpsdefault-25 fps", "ac3", "448default", "48000default"));
  t.push_back(Row("ASF - Advance Streaming Format (*.asf)", "ASF",
                  {"2000", "1500", "1200", "768", "512"}, {"320", "192", "128", "64", "32"},
                  "msmpeg4", "1200default", "Original Sizedefault", "", "mp3", "128default",
                  "48000default"));
  t.push_back(Unlisted("AAC - Advance Audio Coding (*.aac)", "AAC"));
  t.push_back(Unlisted("AC3 - Dolby Digital Audio (*.ac3)", "AC3"));
  // 40 - 49
  t.push_back(Unlisted("AU - SUN Audio (*.au)", "AU"));
  t.push_back(Unlisted("M4A - Mpeg4 Audio File (*.m4a)", "M4A"));
  t.push_back(Unlisted("MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3"));
  t.push_back(Unlisted("OGG - Ogg Vorbis Audio (*.ogg)", "OGG"));
  t.push_back(Unlisted("RA - Real Audio (*.ra)", "RA"));
  t.push_back(Unlisted("WAV - Waveform Audio (*.wav)", "WAV"));
  t.push_back(Unlisted("WMA - Windows Media Audio (*.wma)", "WMA"));
  t.push_back(Unlisted("MP2 - Mpeg Layer2 Audio (*.mp2)", "MP2"));
  t.push_back(Unlisted("aaaaaa", "MP4"));
  t.push_back(Unlisted("aaaaaaa", "MP4"));
  // 50 - 59
  t.push_back(Row("Zune Mpeg4 Video (*.mp4)", "MP4", {"2000", "1500", "768", "512", "256"},
                  {"256", "192", "128", "80", "64"}, "mpeg4-h264", "768default",
                  "640x480-320x240default", "29.97 fpsONLY", "mpeg4aac", "128default",
                  "44100default"));
  t.push_back(Row("Zune WMV Windows Media Video (*.wmv)", "WMV",
                  {"2000", "1500", "1200", "768", "256"}, {"256", "192", "128", "80", "48"},
                  "wmv3x", "1500default", "640x480-320x240default", "29.97 fpsONLY", "wma7x",
                  "128default", "44100default"));
  t.push_back(Unlisted("Zune Mpeg4 AVC Video (*.mp4)", "MP4"));
  t.push_back(Unlisted("Zune - Future Version", "MP4"));
  t.push_back(Row("PSP Video (*.mp4)", "MP4", {"768", "512", "384", "216", "128"},
                  {"160", "128", "96", "64", "48"}, "xvid", "384default",
                  "368x208default-320x240-160x112", "29.97 fpsONLY", "mpeg4aac", "96default",
                  "48000ONLY"));
  t.push_back(Unlisted("PSP Video - Good Quality (*.mp4)", "MP4"));
  t.push_back(Unlisted("PSP Video - Normal Quality (*.mp4)", "MP4"));
  t.push_back(Unlisted("PSP Video - Small File Size (*.mp4)", "MP4"));
  t.push_back(Unlisted("PSP - Future Formats", "MP4"));
  t.push_back(Row("PS3 Video (*.mp4)", "MP4", {"3000", "2500", "2000", "1500", "1200"},
                  {"256", "192", "128", "80", "64"}, "h264", "2000default",
                  "1920x1080-1280x720-720x480default-640x480", "29.97 fpsONLY", "mpeg4aac",
                  // 48000 Hz: "4800" is no rate the console or any AAC encoder plays.
                  "128default", "48000ONLY"));
  // 60 - 69
  t.push_back(Unlisted("PS3 Video(480P) (*.mp4)", "MP4"));
  t.push_back(Unlisted("PS3 Video(720P) (*.mp4)", "MP4"));
  t.push_back(Unlisted("PS3 Video(1080P) (*.mp4)", "MP4"));
  t.push_back(Unlisted("PS3 - Future Version", "MP4"));
  t.push_back(Unlisted("Archos AV500/GMini402 (*.avi)", "AVI"));
  t.push_back(Unlisted("Archos AV700 (*.avi)", "AVI"));
  t.push_back(Unlisted("Creative Zen Vision (*.avi)", "AVI"));
  t.push_back(Unlisted("iRiver PMP100 (*.avi)", "AVI"));
  t.push_back(Row("BlackBerry MPEG-4 Video (*.mp4)", "MP4", {"768", "512", "300", "200", "120"},
                  {"112", "96", "80", "64", "40"}, "mpeg4", "300default",
                  "320x240-240x180-176x144default", "24 fpsONLY", "mpeg4aac", "80default",
                  "44100default"));
  t.push_back(Row("BlackBerry AVI Video (*.avi)", "AVI", {"512", "300", "200", "120", "80"},
                  {"256", "192", "80", "64", "48"}, "h263", "300default", "176x144ONLY",
                  "24 fpsONLY", "mpeg4aac", "80default", "44100default"));
  // 70 - 79
  t.push_back(Row("BlackBerry 3GP Video (*.3gp)", "3GP", {"512", "256", "120", "80", "40"},
                  {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault",
                  "352x288-320x240-176x144default-128x96", "Autodefault-11-15",
                  "amr_nbdefault-mpeg4aac", "7.4 Kbpsdefault", "8000 HzONLY"));
  t.push_back(Row("BlackBerry AMR Audio (*.amr)", "AMR", {"512", "300", "200", "120", "80"},
                  {"12.2", "10.2", "7.4", "5.9", "4.75"}, "", "", "", "", "amr_nb",
                  "7.4 Hzdefault", "8000 HzONLY"));
  t.push_back(Row("Xbox360 MPEG4 Video (*.mp4)", "MP4", {"2500", "1500", "1200", "768", "512"},
                  {"256", "192", "128", "80", "64"}, "", "", "", "", "", "", ""));
  t.push_back(Unlisted("Xbox360 WMV Video (*.wmv)", "WMV"));
  t.push_back(Row("Xbox360 AVI Video (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
                  {"320", "192", "128", "64", "48"}, "", "", "", "", "", "", ""));
  t.push_back(Row("Xbox360 MPEG2 Video (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
                  {"224", "192", "128", "80", "64"}, "", "", "", "", "", "", ""));
  t.push_back(Row("General Pocket PC Video (*.wmv)", "WMV", {"1500", "1200", "768", "256", "512"},
                  {"256", "192", "128", "80", "48"}, "wmv3x", "768default",
                  "720x576-640x480-320x240default", "29.97 fpsONLY", "wma7x", "128default",
                  "44100default"));
  t.push_back(Unlisted("HD ASF Video (*.asf)", "ASF"));
  t.push_back(Unlisted("HD AVI Video (*.avi)", "AVI"));
  t.push_back(Unlisted("HD MPEG-2 Movie (*.mpg)", "MPG"));
  // 80 - 81
  t.push_back(Unlisted("HD MP4 - MPEG4 Video (*.mp4)", "MP4"));
  t.push_back(Unlisted("HD WMV - Windows Media Video (*.wmv)", "WMV"));
  for (size_t i = 0; i < t.size(); ++i) t[i].RowNumber = static_cast<int32_t>(i);
  return t;
}

}  // namespace

const std::vector<Quality>& PresetTable() {
  static const std::vector<Quality> table = BuildTable();
  return table;
}

const Quality* FindPreset(const std::string& text) {
  const std::string key = Trim(text);
  for (const Quality& row : PresetTable()) {
    if (row.Name == key) return &row;
  }
  return nullptr;
}

}  // namespace kelvane
