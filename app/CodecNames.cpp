#include "app/CodecNames.h"

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
                             {"mpeg4_qt", "mpeg4"}});
}

std::string GetNewAudioCodec(const std::string& list_text) {
  return MapName(list_text, {{"aac", "aac"},
                             {"mpeg4aac", "aac"},
                             {"mpeg4aac_qt", "aac"},
                             {"mp3", "libmp3lame"},
                             {"wma7x", "wmav2"},
                             {"amr_nb", "libopencore_amrnb"},
                             {"vorbis", "libvorbis"}});
}

int32_t GetVolume(int32_t field_value) {
  if (field_value < 0 || field_value > 200) return 256;
  return (field_value * 256 + 50) / 100;
}

}  // namespace kelvane
