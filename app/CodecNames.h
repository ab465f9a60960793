// The codec names of the settings lists turned into encoder names of the codec
// library, and the volume field turned into the engine's volume number.
//
// Some list texts name encoders that older codec libraries had and today's do
// not ("libfaac", "libamr_nb", "mpeg4_qt", "mpeg4aac_qt"); they map to the
// encoder that does the same job today, so that every preset still writes a
// file. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

// The list text, trimmed and lower-cased, replaced by its encoder name:
// "h264" libx264, "xvid" libxvid, "divx" mpeg4, "wmv3x" wmv2, "mpeg4_qt" mpeg4,
// and the names today's formats show: "H.264" libx264, "H.265" libx265,
// "AV1" libsvtav1, "VP9" libvpx-vp9 ("GIF" is gif); any other text is
// returned trimmed and lower-cased.
std::string GetNewVideoCodec(const std::string& list_text);

// Likewise for audio: "aac", "mpeg4aac" and "mpeg4aac_qt" aac, "mp3" libmp3lame,
// "wma7x" wmav2, "amr_nb" libopencore_amrnb, "vorbis" libvorbis, "Opus"
// libopus, "PCM" pcm_s16le ("FLAC" is flac).
std::string GetNewAudioCodec(const std::string& list_text);

// The name people know an encoder's format by, for the line of what a file
// will be: libx264 "H.264", libsvtav1 "AV1", aac "AAC", libopus "Opus", ...;
// an encoder not named here in upper case.
std::string VideoCodecDisplayName(const std::string& encoder);
std::string AudioCodecDisplayName(const std::string& encoder);

// The volume field (0..200, percent of the source's loudness) as the engine's
// volume number, 256 meaning unchanged: the field times 2.56, rounded (0 0,
// 50 128, 100 256, 150 384, 200 512); anything outside 0..200 256.
int32_t GetVolume(int32_t field_value);

}  // namespace kelvane
