#include "app/Quality.h"

#include <algorithm>
#include <iterator>

#include "app/TextUtils.h"

namespace kelvane {
namespace {

// One entry of the format list as written here; fields left out are empty.
// A row with only a name and a container is one the format list never offers.
struct TPresetRow {
  const char* Name;
  const char* Container;
  std::array<const char*, 5> VideoBitrates{"", "", "", "", ""};
  std::array<const char*, 5> AudioBitrates{"", "", "", "", ""};
  const char* VideoCodecs = "";
  const char* VideoBitrate = "";
  const char* Sizes = "";
  const char* FrameRates = "";
  const char* AudioCodecs = "";
  const char* AudioBitrate = "";
  const char* SampleRates = "";
};

constexpr char kMobileSizes[] = "1408x1152-704x576-352x288-176x144default-128x96";

// Name, container, video and audio bitrates (Highest..Lowest), then the list
// texts: video codecs, video bitrate, sizes, frame rates, audio codecs, audio
// bitrate, sample rates.
constexpr TPresetRow kPresetRows[] = {
  // 0 - 9
  {"3GP - Mobile Video Format (*.3gp)", "3GP", {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault", kMobileSizes,
    "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault", "8000 HzONLY"},
  {"3G2 - Mobile Video Format (*.3g2)", "3G2", {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault", kMobileSizes,
    "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault", "8000 HzONLY"},
  {"3Gxx - Mobile Video Format (*.3g2)", ""},
  {"iPod (*.mp4)", "MP4", {"2500", "1500", "1200", "512", "256"}, {"320", "192", "128", "96", "64"},
    "mpeg4", "1200default", "320x240ONLY", "", "mpeg4aac", "128default", "44100default"},
  {"iPod Extra (640 x 480) (*.mp4)", "MP4"},
  {"iPod Wide Screen xxxxxxxxxxxxxxxx not available(*.mp4)", "MP4"},
  {"iPod Video For TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "96", "64"}, "mpeg4", "2500 Kbpsdefault", "640x480ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {"Apple TV H264 (320 x 240) (*.mp4)", "MP4"},
  {"Apple TV H264 (640 x 480) (*.mp4)", "MP4"},
  {"Apple TV H264 (1280 x 720) (*.mp4)", "MP4"},
  // 10 - 19
  {"Apple TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "128", "64", "48", "32"}, "mpeg4", "1500 Kbpsdefault", "640x480ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {"Apple TV (Normal Quality) (*.mp4)", "MP4"},
  {"Apple TV (High Quality) (*.mp4)", "MP4"},
  {"iPod Touch (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {"iPod Touch Extra (640 x 480) (*.mp4)", "MP4"},
  {"iPod Touch Wide Screen (*.mp4)", "MP4"},
  {"iPod Touchx", "MP4"},
  {"iPod Touchy", "MP4"},
  {"iPhone (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {"iPhone Extra (640 x 480) (*.mp4)", "MP4"},
  // 20 - 29
  {"iPhone Wide Screen (*.mp4)", "MP4"},
  {"iphonexxxx", "MP4"},
  {"AVI - Audio Video Interleave (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "mpeg4default-h264", "1200default", "Original Sizedefault",
    "", "pcm_s16ledefault-mp3-ac3", "128default", "44100default"},
  {"AVI - DivX Video (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "mpeg4", "1200default", "Original Sizedefault", "", "MP3",
    "128default", "44100default"},
  {"AVI - XviD Video (*.avi)", "AVI"},
  {"AVI - Uncompress (*.avi)", "AVI"},
  {"MOV - QuickTime Video (*.mov)", "MOV", {"2500", "2000", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4_qt", "1200default", "Original Sizedefault", "",
    "mpeg4aac_qt", "128default", "48000default"},
  {"MP4 - MPEG4 Video (*.mp4)", "MP4", {"2500", "1500", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4default-h264", "1500 Kbpsdefault",
    "Original Sizedefault", "", "mpeg4aac", "128default", "48000default"},
  {"MPEG-1 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "mpeg1video", "1600 Kbpsdefault", "320x240default", "",
    "mp2", "192default", "44100default"},
  {"MPEG-2 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "mpeg2video", "1600 Kbpsdefault", "320x240default", "",
    "mp2", "192default", "44100default"},
  // 30 - 39
  {"RM - Real Video (*.rm)", "RM", {"1200", "512", "384", "256", "128"},
    {"160", "128", "96", "64", "48"}, "rv10default-rv20", "384default", "320x240default", "", "ac3",
    "128default", "44100default"},
  {"WMV - Windows Media Video (*.wmv)", "WMV", {"4000", "2000", "1500", "1200", "768"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "1500 Kbpsdefault", "Original Sizedefault", "",
    "wma7x", "128default", "48000default"},
  {"SWF - Flash Swf Video (*.swf)", "SWF", {"800", "400", "200", "128", "100"},
    {"160", "128", "96", "64", "48"}, "flv", "200default", "Original Sizedefault", "15", "MP3",
    "96default", "44100 Hzdefault-22050 Hz-11025 Hz"},
  {"FLV - Flash Flv Video (*.flv)", "FLV", {"1200", "512", "368", "200", "120"},
    {"160", "128", "96", "64", "48"}, "flv", "368default", "Original Sizedefault", "15", "MP3",
    "96default", "44100 Hzdefault-22050 Hz-11025 Hz"},
  {"Video CD (*.mpg)", "MPG", {"1150", "1000", "1000", "768", "768"},
    {"320", "160", "96", "56", "32"}, "mpeg1video", "1150default",
    "704x576-640x480-480x272-352x240default-352x288-176x144-128x96", "29.97 fpsdefault-25 fps",
    "mp2", "320default", "44100default"},
  {"Super Video CD (*.mpg)", "MPG", {"2500", "2040", "2000", "1500", "768"},
    {"320", "224", "160", "96", "32"}, "mpeg2video", "2040default", "486x576-486x480default",
    "29.97 fpsdefault-25 fps", "mp2", "224default", "44100default"},
  {"DVD - VOB (*.vob)", "VOB", {"8000", "6000", "5000", "4000", "3000"},
    {"448", "160", "96", "56", "32"}, "mpeg2video", "5000default",
    "720x480default-704x576-640x480-480x272-352x240-352x288-176x144-128x96",
    "29.97 fpsdefault-25 fps", "ac3", "448default", "48000default"},
  {"ASF - Advance Streaming Format (*.asf)", "ASF", {"2000", "1500", "1200", "768", "512"},
    {"320", "192", "128", "64", "32"}, "msmpeg4", "1200default", "Original Sizedefault", "", "mp3",
    "128default", "48000default"},
  {"AAC - Advance Audio Coding (*.aac)", "AAC"},
  {"AC3 - Dolby Digital Audio (*.ac3)", "AC3"},
  // 40 - 49
  {"AU - SUN Audio (*.au)", "AU"},
  {"M4A - Mpeg4 Audio File (*.m4a)", "M4A"},
  {"MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3"},
  {"OGG - Ogg Vorbis Audio (*.ogg)", "OGG"},
  {"RA - Real Audio (*.ra)", "RA"},
  {"WAV - Waveform Audio (*.wav)", "WAV"},
  {"WMA - Windows Media Audio (*.wma)", "WMA"},
  {"MP2 - Mpeg Layer2 Audio (*.mp2)", "MP2"},
  {"aaaaaa", "MP4"},
  {"aaaaaaa", "MP4"},
  // 50 - 59
  {"Zune Mpeg4 Video (*.mp4)", "MP4", {"2000", "1500", "768", "512", "256"},
    {"256", "192", "128", "80", "64"}, "mpeg4-h264", "768default", "640x480-320x240default",
    "29.97 fpsONLY", "mpeg4aac", "128default", "44100default"},
  {"Zune WMV Windows Media Video (*.wmv)", "WMV", {"2000", "1500", "1200", "768", "256"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "1500default", "640x480-320x240default",
    "29.97 fpsONLY", "wma7x", "128default", "44100default"},
  {"Zune Mpeg4 AVC Video (*.mp4)", "MP4"},
  {"Zune - Future Version", "MP4"},
  {"PSP Video (*.mp4)", "MP4", {"768", "512", "384", "216", "128"},
    {"160", "128", "96", "64", "48"}, "xvid", "384default", "368x208default-320x240-160x112",
    "29.97 fpsONLY", "mpeg4aac", "96default", "48000ONLY"},
  {"PSP Video - Good Quality (*.mp4)", "MP4"},
  {"PSP Video - Normal Quality (*.mp4)", "MP4"},
  {"PSP Video - Small File Size (*.mp4)", "MP4"},
  {"PSP - Future Formats", "MP4"},
  // Its sample rate is 48000 Hz: "4800" is no rate the console or any AAC encoder plays.
  {"PS3 Video (*.mp4)", "MP4", {"3000", "2500", "2000", "1500", "1200"},
    {"256", "192", "128", "80", "64"}, "h264", "2000default",
    "1920x1080-1280x720-720x480default-640x480", "29.97 fpsONLY", "mpeg4aac", "128default",
    "48000ONLY"},
  // 60 - 69
  {"PS3 Video(480P) (*.mp4)", "MP4"},
  {"PS3 Video(720P) (*.mp4)", "MP4"},
  {"PS3 Video(1080P) (*.mp4)", "MP4"},
  {"PS3 - Future Version", "MP4"},
  {"Archos AV500/GMini402 (*.avi)", "AVI"},
  {"Archos AV700 (*.avi)", "AVI"},
  {"Creative Zen Vision (*.avi)", "AVI"},
  {"iRiver PMP100 (*.avi)", "AVI"},
  {"BlackBerry MPEG-4 Video (*.mp4)", "MP4", {"768", "512", "300", "200", "120"},
    {"112", "96", "80", "64", "40"}, "mpeg4", "300default", "320x240-240x180-176x144default",
    "24 fpsONLY", "mpeg4aac", "80default", "44100default"},
  {"BlackBerry AVI Video (*.avi)", "AVI", {"512", "300", "200", "120", "80"},
    {"256", "192", "80", "64", "48"}, "h263", "300default", "176x144ONLY", "24 fpsONLY", "mpeg4aac",
    "80default", "44100default"},
  // 70 - 79
  {"BlackBerry 3GP Video (*.3gp)", "3GP", {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault",
    "352x288-320x240-176x144default-128x96", "Autodefault-11-15", "amr_nbdefault-mpeg4aac",
    "7.4 Kbpsdefault", "8000 HzONLY"},
  {"BlackBerry AMR Audio (*.amr)", "AMR", {"512", "300", "200", "120", "80"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "", "", "", "", "amr_nb", "7.4 Hzdefault",
    "8000 HzONLY"},
  {"Xbox360 MPEG4 Video (*.mp4)", "MP4", {"2500", "1500", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "", "", "", "", "", "", ""},
  {"Xbox360 WMV Video (*.wmv)", "WMV"},
  {"Xbox360 AVI Video (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "", "", "", "", "", "", ""},
  {"Xbox360 MPEG2 Video (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "", "", "", "", "", "", ""},
  {"General Pocket PC Video (*.wmv)", "WMV", {"1500", "1200", "768", "256", "512"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "768default", "720x576-640x480-320x240default",
    "29.97 fpsONLY", "wma7x", "128default", "44100default"},
  {"HD ASF Video (*.asf)", "ASF"},
  {"HD AVI Video (*.avi)", "AVI"},
  {"HD MPEG-2 Movie (*.mpg)", "MPG"},
  // 80 - 81
  {"HD MP4 - MPEG4 Video (*.mp4)", "MP4"},
  {"HD WMV - Windows Media Video (*.wmv)", "WMV"},
};
static_assert(std::size(kPresetRows) == PresetCount);

std::vector<Quality> BuildTable() {
  std::vector<Quality> table;
  table.reserve(PresetCount);
  for (const TPresetRow& preset : kPresetRows) {
    Quality row;
    row.Name = preset.Name;
    row.Container = preset.Container;
    std::copy(preset.VideoBitrates.begin(), preset.VideoBitrates.end(), row.VideoBitrates.begin());
    std::copy(preset.AudioBitrates.begin(), preset.AudioBitrates.end(), row.AudioBitrates.begin());
    row.VideoCodecs = preset.VideoCodecs;
    row.VideoBitrate = preset.VideoBitrate;
    row.Sizes = preset.Sizes;
    row.FrameRates = preset.FrameRates;
    row.AudioCodecs = preset.AudioCodecs;
    row.AudioBitrate = preset.AudioBitrate;
    row.SampleRates = preset.SampleRates;
    row.RowNumber = static_cast<int32_t>(table.size());
    table.push_back(std::move(row));
  }
  return table;
}

}  // namespace

const std::vector<Quality>& PresetTable() {
  static const std::vector<Quality> table = BuildTable();
  return table;
}

const std::vector<std::string>& OriginalFormatList() {
  static const std::vector<std::string> list = {
      "            ----- General Video Formats -----",
      "     ",
      "3GP - Mobile Video Format (*.3gp)",
      "3G2 - Mobile Video Format (*.3g2)",
      "ASF - Advance Streaming Format (*.asf)",
      "AVI - Audio Video Interleave (*.avi)",
      "AVI - DivX Video (*.avi)",
      "DVD - VOB (*.vob)",
      "FLV - Flash Flv Video (*.flv)",
      "MOV - QuickTime Video (*.mov)",
      "MP4 - MPEG4 Video (*.mp4)",
      "MPEG-1 Movie (*.mpg)",
      "MPEG-2 Movie (*.mpg)",
      "RM - Real Video (*.rm)",
      "Super Video CD (*.mpg)",
      "SWF - Flash Swf Video (*.swf)",
      "Video CD (*.mpg)",
      "WMV - Windows Media Video (*.wmv)",
      "     ",
      "            ----- Apple iPod & iPhones -----   ",
      "     ",
      "Apple TV (*.mp4)",
      "iPod (*.mp4)",
      "iPod Touch (*.mp4)",
      "iPod Video For TV (*.mp4)",
      "iPhone (*.mp4)",
      "     ",
      "            -----     Miscellaneous     -----",
      "     ",
      "BlackBerry MPEG-4 Video (*.mp4)",
      "BlackBerry AVI Video (*.avi)",
      "BlackBerry 3GP Video (*.3gp)",
      "BlackBerry AMR Audio (*.amr)",
      "General Pocket PC Video (*.wmv)",
      "PSP Video (*.mp4)",
      "PS3 Video (*.mp4)",
      "Xbox360 MPEG4 Video (*.mp4)",
      "Xbox360 AVI Video (*.avi)",
      "Xbox360 MPEG2 Video (*.mpg)",
      "Zune Mpeg4 Video (*.mp4)",
      "Zune WMV Windows Media Video (*.wmv)",
  };
  return list;
}

const Quality* FindPreset(const std::string& text) {
  const std::string key = Trim(text);
  for (const Quality& row : PresetTable()) {
    if (row.Name == key) return &row;
  }
  return nullptr;
}

}  // namespace kelvane
