#include "app/Quality.h"

#include <algorithm>
#include <iterator>

#include "app/TextUtils.h"

namespace kelvane {

const char kTodayFormats[] = "            ----- Today's Formats -----";
const char kGeneralFormats[] = "            ----- General Video Formats -----";
const char kAppleFormats[] = "            ----- Apple iPod & iPhones -----   ";
const char kMiscellaneousFormats[] = "            -----     Miscellaneous     -----";
const char kSameAsSource[] = "Same as source";
const char kSameAsSourceFormat[] = "Same as Source - Lossless (*.*)";

namespace {

const char kNotListed[] = "";
const char kSpacer[] = "     ";

// ---- Today's formats ----

TChoices Choices(std::vector<std::string> entries, std::string chosen) {
  return TChoices{std::move(entries), std::move(chosen)};
}

// The lists every video format of today shares.
TTodayFormat TodayVideo(const char* video_codec, std::array<int, 5> crf, const char* options) {
  TTodayFormat format;
  format.VideoCodecs = Choices({video_codec}, video_codec);
  format.VideoBitrates =
      Choices({"Auto (quality)", "500 Kbps", "1000 Kbps", "1500 Kbps", "2000 Kbps", "3000 Kbps",
               "4000 Kbps", "6000 Kbps", "8000 Kbps", "12000 Kbps", "16000 Kbps", "20000 Kbps"},
              "Auto (quality)");
  format.Sizes = Choices({"Original Size", "3840x2160", "2560x1440", "1920x1080", "1280x720",
                          "854x480", "640x360"},
                         "Original Size");
  format.FrameRates = Choices({"Auto", "60 fps", "50 fps", "30 fps", "29.97 fps", "25 fps",
                               "24 fps", "23.976 fps"},
                              "Auto");
  format.Crf = crf;
  format.Options = options;
  return format;
}

const std::array<std::string, 5> kAacLevels = {"256", "192", "160", "128", "96"};
const std::array<std::string, 5> kOpusLevels = {"192", "160", "128", "96", "64"};
const std::array<std::string, 5> kMp3Levels = {"320", "256", "192", "160", "128"};

// The sound of a format of today: its codec, the bit rates shown (the
// levels' among them) and the sample rates offered.
void TodayAudio(TTodayFormat& format, const char* codec, std::vector<std::string> bitrates,
                std::string chosen_bitrate, std::vector<std::string> sample_rates) {
  format.AudioCodecs = Choices({codec}, codec);
  format.AudioBitrates = Choices(std::move(bitrates), std::move(chosen_bitrate));
  const std::string first_rate = sample_rates.front();
  format.SampleRates = Choices(std::move(sample_rates), first_rate);
  format.Channels = Choices({"Original", "Stereo", "Mono"}, "Original");
}

void Aac(TTodayFormat& format) {
  TodayAudio(format, "AAC",
             {"320 Kbps", "256 Kbps", "192 Kbps", "160 Kbps", "128 Kbps", "96 Kbps", "64 Kbps"},
             "160 Kbps", {"Original", "48000 Hz", "44100 Hz", "32000 Hz", "22050 Hz"});
}

void Opus(TTodayFormat& format) {
  // Opus codes 48000 Hz sound; every other rate is resampled to it anyway.
  TodayAudio(format, "Opus",
             {"320 Kbps", "256 Kbps", "192 Kbps", "160 Kbps", "128 Kbps", "96 Kbps", "64 Kbps",
              "48 Kbps"},
             "128 Kbps", {"48000 Hz"});
}

void Mp3(TTodayFormat& format) {
  TodayAudio(format, "MP3",
             {"320 Kbps", "256 Kbps", "224 Kbps", "192 Kbps", "160 Kbps", "128 Kbps", "96 Kbps"},
             "192 Kbps", {"Original", "48000 Hz", "44100 Hz", "32000 Hz", "22050 Hz"});
}

void Lossless(TTodayFormat& format, const char* codec) {
  TodayAudio(format, codec, {"Lossless"}, "Lossless",
             {"Original", "96000 Hz", "48000 Hz", "44100 Hz"});
}

// The sound-only formats have no picture lists and no quality levels of
// their own for pictures.
TTodayFormat TodayAudioOnly() { return TTodayFormat(); }

// Keeps the source's title, creation time and the rest of its tags.
#define KEEP_TAGS "map_meta_data=0:0\n"

Quality TodayRow(const char* name, const char* container, TTodayFormat format,
                 const std::array<std::string, 5>& audio_levels) {
  Quality row;
  row.Group = kTodayFormats;
  row.Name = name;
  row.Container = container;
  row.AudioBitrates = audio_levels;
  row.RowNumber = -1;
  row.Today = std::make_shared<const TTodayFormat>(std::move(format));
  return row;
}

std::vector<Quality> TodayRows() {
  std::vector<Quality> rows;
  {
    // The source's codecs and container kept: nothing to choose.
    TTodayFormat f;
    for (TChoices* list : {&f.VideoCodecs, &f.VideoBitrates, &f.Sizes, &f.FrameRates,
                           &f.AudioCodecs, &f.AudioBitrates, &f.SampleRates, &f.Channels})
      *list = Choices({kSameAsSource}, kSameAsSource);
    f.SameAsSource = true;
    rows.push_back(TodayRow(kSameAsSourceFormat, "*", f, {}));
  }
  {
    TTodayFormat f = TodayVideo("H.264", {18, 20, 22, 25, 28},
                                "preset=fast\nprofile=high\npix_fmt=yuv420p\n"
                                "movflags=+faststart\n" KEEP_TAGS);
    Aac(f);
    rows.push_back(TodayRow("H.264 MP4 - Plays Everywhere (*.mp4)", "MP4", f, kAacLevels));
  }
  {
    // Tagged hvc1, as Apple's players want it; a 10-bit source stays 10-bit (Main 10).
    TTodayFormat f = TodayVideo("H.265", {20, 22, 24, 27, 30},
                                "preset=fast\nx265-params=log-level=error\n"
                                "movflags=+faststart\n" KEEP_TAGS);
    f.VideoTag = "hvc1";
    Aac(f);
    rows.push_back(TodayRow("H.265 MP4 - Smaller Files (*.mp4)", "MP4", f, kAacLevels));
  }
  {
    TTodayFormat f = TodayVideo("AV1", {24, 28, 32, 38, 44}, "preset=8\n" KEEP_TAGS);
    Opus(f);
    rows.push_back(TodayRow("AV1 MKV - Smallest Files (*.mkv)", "MKV", f, kOpusLevels));
  }
  {
    // 8-bit pictures: the profile every browser plays.
    TTodayFormat f = TodayVideo("VP9", {24, 28, 32, 36, 40},
                                "deadline=good\ncpu-used=4\nrow-mt=1\npix_fmt=yuv420p\n" KEEP_TAGS);
    f.QualityOptions = "b=0";  // constant quality, no bit rate to keep to
    Opus(f);
    rows.push_back(TodayRow("VP9 WebM - For the Web (*.webm)", "WEBM", f, kOpusLevels));
  }
  {
    TTodayFormat f = TodayVideo("H.264", {18, 20, 22, 25, 28},
                                "preset=fast\nprofile=high\npix_fmt=yuv420p\n" KEEP_TAGS);
    Aac(f);
    rows.push_back(TodayRow("Matroska - H.264 (*.mkv)", "MKV", f, kAacLevels));
  }
  {
    TTodayFormat f = TodayAudioOnly();
    Mp3(f);
    f.Options = KEEP_TAGS;
    rows.push_back(TodayRow("MP3 Audio (*.mp3)", "MP3", f, kMp3Levels));
  }
  {
    TTodayFormat f = TodayAudioOnly();
    Aac(f);
    f.Options = "movflags=+faststart\n" KEEP_TAGS;
    rows.push_back(TodayRow("AAC Audio (*.m4a)", "M4A", f, kAacLevels));
  }
  {
    TTodayFormat f = TodayAudioOnly();
    Opus(f);
    f.Options = KEEP_TAGS;
    rows.push_back(TodayRow("Opus Audio (*.opus)", "OPUS", f, kOpusLevels));
  }
  {
    TTodayFormat f = TodayAudioOnly();
    Lossless(f, "FLAC");
    f.Options = KEEP_TAGS;
    rows.push_back(TodayRow("FLAC Audio - Lossless (*.flac)", "FLAC", f, {}));
  }
  {
    TTodayFormat f = TodayAudioOnly();
    Lossless(f, "PCM");
    f.Options = KEEP_TAGS;
    rows.push_back(TodayRow("WAV Audio (*.wav)", "WAV", f, {}));
  }
  {
    // A palette of the segment's own colours, made from all its pictures;
    // 15 pictures a second, at most 480 wide; no sound.
    TTodayFormat f;
    f.VideoCodecs = Choices({"GIF"}, "GIF");
    f.Sizes = Choices({"Original Size", "640x480", "480x360", "320x240"}, "480x360");
    f.FrameRates = Choices({"25 fps", "20 fps", "15 fps", "10 fps"}, "15 fps");
    f.Options = "pix_fmt=pal8\n" KEEP_TAGS;
    f.VideoFilters = "split[a][b];[a]palettegen[p];[b][p]paletteuse";
    rows.push_back(TodayRow("Animated GIF (*.gif)", "GIF", f, {}));
  }
  return rows;
}

#undef KEEP_TAGS

// ---- The classic rows ----

// One classic row as written here; fields left out are empty. A row with
// only a name and a container is one the format list never offers.
struct TPresetRow {
  const char* Group;
  int Row;  // its position among the classic rows
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

// In the format list's order. Group, row number, name, container, video and
// audio bitrates (Highest..Lowest), then the list texts: video codecs, video
// bitrate, sizes, frame rates, audio codecs, audio bitrate, sample rates.
constexpr TPresetRow kPresetRows[] = {
  {kGeneralFormats, 0, "3GP - Mobile Video Format (*.3gp)", "3GP",
    {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault", kMobileSizes,
    "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault", "8000 HzONLY"},
  {kGeneralFormats, 1, "3G2 - Mobile Video Format (*.3g2)", "3G2",
    {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault", kMobileSizes,
    "Autodefault-11-15", "libopencore_amrnb", "7.4 Kbpsdefault", "8000 HzONLY"},
  {kGeneralFormats, 37, "ASF - Advance Streaming Format (*.asf)", "ASF",
    {"2000", "1500", "1200", "768", "512"},
    {"320", "192", "128", "64", "32"}, "msmpeg4", "1200default", "Original Sizedefault", "", "mp3",
    "128default", "48000default"},
  {kGeneralFormats, 22, "AVI - Audio Video Interleave (*.avi)", "AVI",
    {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "mpeg4default-h264", "1200default", "Original Sizedefault",
    "", "pcm_s16ledefault-mp3-ac3", "128default", "44100default"},
  {kGeneralFormats, 23, "AVI - DivX Video (*.avi)", "AVI", {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "mpeg4", "1200default", "Original Sizedefault", "", "MP3",
    "128default", "44100default"},
  {kGeneralFormats, 36, "DVD - VOB (*.vob)", "VOB", {"8000", "6000", "5000", "4000", "3000"},
    {"448", "160", "96", "56", "32"}, "mpeg2video", "5000default",
    "720x480default-704x576-640x480-480x272-352x240-352x288-176x144-128x96",
    "29.97 fpsdefault-25 fps", "ac3", "448default", "48000default"},
  {kGeneralFormats, 33, "FLV - Flash Flv Video (*.flv)", "FLV",
    {"1200", "512", "368", "200", "120"},
    {"160", "128", "96", "64", "48"}, "flv", "368default", "Original Sizedefault", "15", "MP3",
    "96default", "44100 Hzdefault-22050 Hz-11025 Hz"},
  {kGeneralFormats, 26, "MOV - QuickTime Video (*.mov)", "MOV",
    {"2500", "2000", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4_qt", "1200default", "Original Sizedefault", "",
    "mpeg4aac_qt", "128default", "48000default"},
  {kGeneralFormats, 27, "MP4 - MPEG4 Video (*.mp4)", "MP4", {"2500", "1500", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4default-h264", "1500 Kbpsdefault",
    "Original Sizedefault", "", "mpeg4aac", "128default", "48000default"},
  {kGeneralFormats, 28, "MPEG-1 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "mpeg1video", "1600 Kbpsdefault", "320x240default", "",
    "mp2", "192default", "44100default"},
  {kGeneralFormats, 29, "MPEG-2 Movie (*.mpg)", "MPG", {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "mpeg2video", "1600 Kbpsdefault", "320x240default", "",
    "mp2", "192default", "44100default"},
  {kGeneralFormats, 30, "RM - Real Video (*.rm)", "RM", {"1200", "512", "384", "256", "128"},
    {"160", "128", "96", "64", "48"}, "rv10default-rv20", "384default", "320x240default", "", "ac3",
    "128default", "44100default"},
  {kGeneralFormats, 35, "Super Video CD (*.mpg)", "MPG", {"2500", "2040", "2000", "1500", "768"},
    {"320", "224", "160", "96", "32"}, "mpeg2video", "2040default", "486x576-486x480default",
    "29.97 fpsdefault-25 fps", "mp2", "224default", "44100default"},
  {kGeneralFormats, 32, "SWF - Flash Swf Video (*.swf)", "SWF", {"800", "400", "200", "128", "100"},
    {"160", "128", "96", "64", "48"}, "flv", "200default", "Original Sizedefault", "15", "MP3",
    "96default", "44100 Hzdefault-22050 Hz-11025 Hz"},
  {kGeneralFormats, 34, "Video CD (*.mpg)", "MPG", {"1150", "1000", "1000", "768", "768"},
    {"320", "160", "96", "56", "32"}, "mpeg1video", "1150default",
    "704x576-640x480-480x272-352x240default-352x288-176x144-128x96", "29.97 fpsdefault-25 fps",
    "mp2", "320default", "44100default"},
  {kGeneralFormats, 31, "WMV - Windows Media Video (*.wmv)", "WMV",
    {"4000", "2000", "1500", "1200", "768"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "1500 Kbpsdefault", "Original Sizedefault", "",
    "wma7x", "128default", "48000default"},
  {kAppleFormats, 10, "Apple TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "128", "64", "48", "32"}, "mpeg4", "1500 Kbpsdefault", "640x480ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {kAppleFormats, 3, "iPod (*.mp4)", "MP4",
    {"2500", "1500", "1200", "512", "256"}, {"320", "192", "128", "96", "64"},
    "mpeg4", "1200default", "320x240ONLY", "", "mpeg4aac", "128default", "44100default"},
  {kAppleFormats, 13, "iPod Touch (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {kAppleFormats, 6, "iPod Video For TV (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "96", "64"}, "mpeg4", "2500 Kbpsdefault", "640x480ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {kAppleFormats, 18, "iPhone (*.mp4)", "MP4", {"2500", "1500", "1200", "800", "512"},
    {"256", "192", "128", "80", "64"}, "mpeg4", "1200 Kbpsdefault", "480x320ONLY", "", "mpeg4aac",
    "128default", "44100default"},
  {kMiscellaneousFormats, 68, "BlackBerry MPEG-4 Video (*.mp4)", "MP4",
    {"768", "512", "300", "200", "120"},
    {"112", "96", "80", "64", "40"}, "mpeg4", "300default", "320x240-240x180-176x144default",
    "24 fpsONLY", "mpeg4aac", "80default", "44100default"},
  {kMiscellaneousFormats, 69, "BlackBerry AVI Video (*.avi)", "AVI",
    {"512", "300", "200", "120", "80"},
    {"256", "192", "80", "64", "48"}, "h263", "300default", "176x144ONLY", "24 fpsONLY", "mpeg4aac",
    "80default", "44100default"},
  {kMiscellaneousFormats, 70, "BlackBerry 3GP Video (*.3gp)", "3GP",
    {"512", "256", "120", "80", "40"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "h263default-mpeg4", "120 KBpsdefault",
    "352x288-320x240-176x144default-128x96", "Autodefault-11-15", "amr_nbdefault-mpeg4aac",
    "7.4 Kbpsdefault", "8000 HzONLY"},
  {kMiscellaneousFormats, 71, "BlackBerry AMR Audio (*.amr)", "AMR",
    {"512", "300", "200", "120", "80"},
    {"12.2", "10.2", "7.4", "5.9", "4.75"}, "", "", "", "", "amr_nb", "7.4 Hzdefault",
    "8000 HzONLY"},
  {kMiscellaneousFormats, 76, "General Pocket PC Video (*.wmv)", "WMV",
    {"1500", "1200", "768", "256", "512"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "768default", "720x576-640x480-320x240default",
    "29.97 fpsONLY", "wma7x", "128default", "44100default"},
  {kMiscellaneousFormats, 54, "PSP Video (*.mp4)", "MP4", {"768", "512", "384", "216", "128"},
    {"160", "128", "96", "64", "48"}, "xvid", "384default", "368x208default-320x240-160x112",
    "29.97 fpsONLY", "mpeg4aac", "96default", "48000ONLY"},
  // Its sample rate is 48000 Hz: "4800" is no rate the console or any AAC encoder plays.
  {kMiscellaneousFormats, 59, "PS3 Video (*.mp4)", "MP4", {"3000", "2500", "2000", "1500", "1200"},
    {"256", "192", "128", "80", "64"}, "h264", "2000default",
    "1920x1080-1280x720-720x480default-640x480", "29.97 fpsONLY", "mpeg4aac", "128default",
    "48000ONLY"},
  {kMiscellaneousFormats, 72, "Xbox360 MPEG4 Video (*.mp4)", "MP4",
    {"2500", "1500", "1200", "768", "512"},
    {"256", "192", "128", "80", "64"}, "", "", "", "", "", "", ""},
  {kMiscellaneousFormats, 74, "Xbox360 AVI Video (*.avi)", "AVI",
    {"2500", "1500", "1200", "512", "256"},
    {"320", "192", "128", "64", "48"}, "", "", "", "", "", "", ""},
  {kMiscellaneousFormats, 75, "Xbox360 MPEG2 Video (*.mpg)", "MPG",
    {"2000", "1600", "1200", "1000", "768"},
    {"224", "192", "128", "80", "64"}, "", "", "", "", "", "", ""},
  {kMiscellaneousFormats, 50, "Zune Mpeg4 Video (*.mp4)", "MP4",
    {"2000", "1500", "768", "512", "256"},
    {"256", "192", "128", "80", "64"}, "mpeg4-h264", "768default", "640x480-320x240default",
    "29.97 fpsONLY", "mpeg4aac", "128default", "44100default"},
  {kMiscellaneousFormats, 51, "Zune WMV Windows Media Video (*.wmv)", "WMV",
    {"2000", "1500", "1200", "768", "256"},
    {"256", "192", "128", "80", "48"}, "wmv3x", "1500default", "640x480-320x240default",
    "29.97 fpsONLY", "wma7x", "128default", "44100default"},
  {kNotListed, 2, "3Gxx - Mobile Video Format (*.3g2)", ""},
  {kNotListed, 4, "iPod Extra (640 x 480) (*.mp4)", "MP4"},
  {kNotListed, 5, "iPod Wide Screen xxxxxxxxxxxxxxxx not available(*.mp4)", "MP4"},
  {kNotListed, 7, "Apple TV H264 (320 x 240) (*.mp4)", "MP4"},
  {kNotListed, 8, "Apple TV H264 (640 x 480) (*.mp4)", "MP4"},
  {kNotListed, 9, "Apple TV H264 (1280 x 720) (*.mp4)", "MP4"},
  {kNotListed, 11, "Apple TV (Normal Quality) (*.mp4)", "MP4"},
  {kNotListed, 12, "Apple TV (High Quality) (*.mp4)", "MP4"},
  {kNotListed, 14, "iPod Touch Extra (640 x 480) (*.mp4)", "MP4"},
  {kNotListed, 15, "iPod Touch Wide Screen (*.mp4)", "MP4"},
  {kNotListed, 16, "iPod Touchx", "MP4"},
  {kNotListed, 17, "iPod Touchy", "MP4"},
  {kNotListed, 19, "iPhone Extra (640 x 480) (*.mp4)", "MP4"},
  {kNotListed, 20, "iPhone Wide Screen (*.mp4)", "MP4"},
  {kNotListed, 21, "iphonexxxx", "MP4"},
  {kNotListed, 24, "AVI - XviD Video (*.avi)", "AVI"},
  {kNotListed, 25, "AVI - Uncompress (*.avi)", "AVI"},
  {kNotListed, 38, "AAC - Advance Audio Coding (*.aac)", "AAC"},
  {kNotListed, 39, "AC3 - Dolby Digital Audio (*.ac3)", "AC3"},
  {kNotListed, 40, "AU - SUN Audio (*.au)", "AU"},
  {kNotListed, 41, "M4A - Mpeg4 Audio File (*.m4a)", "M4A"},
  {kNotListed, 42, "MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3"},
  {kNotListed, 43, "OGG - Ogg Vorbis Audio (*.ogg)", "OGG"},
  {kNotListed, 44, "RA - Real Audio (*.ra)", "RA"},
  {kNotListed, 45, "WAV - Waveform Audio (*.wav)", "WAV"},
  {kNotListed, 46, "WMA - Windows Media Audio (*.wma)", "WMA"},
  {kNotListed, 47, "MP2 - Mpeg Layer2 Audio (*.mp2)", "MP2"},
  {kNotListed, 48, "aaaaaa", "MP4"},
  {kNotListed, 49, "aaaaaaa", "MP4"},
  {kNotListed, 52, "Zune Mpeg4 AVC Video (*.mp4)", "MP4"},
  {kNotListed, 53, "Zune - Future Version", "MP4"},
  {kNotListed, 55, "PSP Video - Good Quality (*.mp4)", "MP4"},
  {kNotListed, 56, "PSP Video - Normal Quality (*.mp4)", "MP4"},
  {kNotListed, 57, "PSP Video - Small File Size (*.mp4)", "MP4"},
  {kNotListed, 58, "PSP - Future Formats", "MP4"},
  {kNotListed, 60, "PS3 Video(480P) (*.mp4)", "MP4"},
  {kNotListed, 61, "PS3 Video(720P) (*.mp4)", "MP4"},
  {kNotListed, 62, "PS3 Video(1080P) (*.mp4)", "MP4"},
  {kNotListed, 63, "PS3 - Future Version", "MP4"},
  {kNotListed, 64, "Archos AV500/GMini402 (*.avi)", "AVI"},
  {kNotListed, 65, "Archos AV700 (*.avi)", "AVI"},
  {kNotListed, 66, "Creative Zen Vision (*.avi)", "AVI"},
  {kNotListed, 67, "iRiver PMP100 (*.avi)", "AVI"},
  {kNotListed, 73, "Xbox360 WMV Video (*.wmv)", "WMV"},
  {kNotListed, 77, "HD ASF Video (*.asf)", "ASF"},
  {kNotListed, 78, "HD AVI Video (*.avi)", "AVI"},
  {kNotListed, 79, "HD MPEG-2 Movie (*.mpg)", "MPG"},
  {kNotListed, 80, "HD MP4 - MPEG4 Video (*.mp4)", "MP4"},
  {kNotListed, 81, "HD WMV - Windows Media Video (*.wmv)", "WMV"},
};
static_assert(std::size(kPresetRows) == PresetCount);

std::vector<Quality> BuildTable() {
  std::vector<Quality> table = TodayRows();
  for (const TPresetRow& preset : kPresetRows) {
    Quality row;
    row.Group = preset.Group;
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
    row.RowNumber = preset.Row;
    table.push_back(std::move(row));
  }
  return table;
}

// The list's entries for the rows of `table` that are listed.
std::vector<std::string> ListOf(const std::vector<const Quality*>& rows) {
  std::vector<std::string> list;
  std::string group;
  for (const Quality* row : rows) {
    if (row->Group.empty()) continue;
    if (row->Group != group) {
      if (!list.empty()) list.push_back(kSpacer);
      list.push_back(row->Group);
      list.push_back(kSpacer);
      group = row->Group;
    }
    list.push_back(row->Name);
  }
  return list;
}

}  // namespace

const std::vector<Quality>& FormatTable() {
  static const std::vector<Quality> table = BuildTable();
  return table;
}

const std::vector<Quality>& PresetTable() {
  static const std::vector<Quality> table = [] {
    std::vector<Quality> rows;
    for (const Quality& row : FormatTable()) {
      if (row.RowNumber >= 0) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end(),
              [](const Quality& a, const Quality& b) { return a.RowNumber < b.RowNumber; });
    return rows;
  }();
  return table;
}

std::vector<std::string> FormatList() {
  std::vector<const Quality*> rows;
  for (const Quality& row : FormatTable()) rows.push_back(&row);
  return ListOf(rows);
}

const std::vector<std::string>& OriginalFormatList() {
  static const std::vector<std::string> list = [] {
    std::vector<const Quality*> rows;
    for (const Quality& row : FormatTable()) {
      if (!row.Today) rows.push_back(&row);
    }
    return ListOf(rows);
  }();
  return list;
}

const char* DefaultFormat() { return "H.264 MP4 - Plays Everywhere (*.mp4)"; }

const Quality* FindPreset(const std::string& text) {
  const std::string key = Trim(text);
  for (const Quality& row : FormatTable()) {
    if (row.Name == key) return &row;
  }
  return nullptr;
}

}  // namespace kelvane
