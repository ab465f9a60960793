#include "app/CodecNames.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "app/TextUtils.h"

namespace kelvane {
namespace {

std::string MapName(const std::string& list_text,
                    std::initializer_list<std::pair<const char*, const char*>> table) {
  const std::string key = LowerCase(Trim(list_text));
  for (const auto& [name, encoder] : table) {
    if (key == name) return encoder;
  }
  return key;
}

}  // namespace

std::string GetNewVideoCodec(const std::string& list_text) {
  return MapName(list_text, {{"h264", "libx264"},
                             {"xvid", "libxvid"},
                             {"divx", "mpeg4"},
                             {"wmv3x", "wmv2"},
                             // QuickTime's MPEG-4 part 2 is the plain mpeg4 encoder.
                             {"mpeg4_qt", "mpeg4"},
                             {"h.264", "libx264"},
                             {"h.265", "libx265"},
                             {"av1", "libsvtav1"},
                             {"vp9", "libvpx-vp9"}});
}

std::string GetNewAudioCodec(const std::string& list_text) {
  return MapName(list_text, {{"aac", "aac"},
                             {"mpeg4aac", "aac"},
                             {"mpeg4aac_qt", "aac"},
                             {"mp3", "libmp3lame"},
                             {"wma7x", "wmav2"},
                             {"amr_nb", "libopencore_amrnb"},
                             {"vorbis", "libvorbis"},
                             {"opus", "libopus"},
                             {"pcm", "pcm_s16le"}});
}

namespace {

std::string DisplayName(const std::string& encoder,
                        std::initializer_list<std::pair<const char*, const char*>> names) {
  for (const auto& [name, shown] : names) {
    if (encoder == name) return shown;
  }
  std::string upper = encoder;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

}  // namespace

std::string VideoCodecDisplayName(const std::string& encoder) {
  return DisplayName(encoder, {{"libx264", "H.264"},
                               {"libx265", "H.265"},
                               {"libsvtav1", "AV1"},
                               {"libvpx-vp9", "VP9"},
                               {"mpeg4", "MPEG-4"},
                               {"libxvid", "MPEG-4"},
                               {"h263", "H.263"},
                               {"msmpeg4", "MS MPEG-4"},
                               {"wmv2", "WMV"},
                               {"flv", "Flash Video"},
                               {"mpeg1video", "MPEG-1"},
                               {"mpeg2video", "MPEG-2"},
                               {"rv10", "RealVideo 1"},
                               {"rv20", "RealVideo 2"},
                               {"gif", "GIF"}});
}

std::string AudioCodecDisplayName(const std::string& encoder) {
  return DisplayName(encoder, {{"aac", "AAC"},
                               {"libmp3lame", "MP3"},
                               {"libopus", "Opus"},
                               {"flac", "FLAC"},
                               {"pcm_s16le", "PCM"},
                               {"mp2", "MP2"},
                               {"ac3", "AC-3"},
                               {"wmav2", "WMA"},
                               {"libopencore_amrnb", "AMR"},
                               {"libvorbis", "Vorbis"}});
}

int32_t GetVolume(int32_t field_value) {
  if (field_value < 0 || field_value > 200) return 256;
  return (field_value * 256 + 50) / 100;
}

}  // namespace kelvane
