#include "engine/core/FFmpegException.h"

#include "binding/FFmpegLoader.h"

namespace kelvane {

const char* MediaTypeName(int type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
  }
}

std::string ErrorText(const std::string& subject, int code) {
  const char* s = subject.c_str();
  switch (code) {
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_MUXER_NOT_FOUND:
    case AVERROR_PROTOCOL_NOT_FOUND:
      return FormatText("%s: Unknown format", s);
    case AVERROR(EDOM):
      return FormatText(
          "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image number:\r\n"
          "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
          "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.",
          s);
    case AVERROR(EINVAL):
    case AVERROR_INVALIDDATA:
      return FormatText("%s: Error while parsing header", s);
    case AVERROR(ENOMEM):
      return FormatText("%s: memory allocation error occurred", s);
    case AVERROR(EIO):
      return FormatText(
          "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or "
          "corrupted.",
          s);
    case AVERROR(ENOENT):
      return FormatText("%s: no such file or directory", s);
    default:
      return FormatText("%s: Error while opening file", s);
  }
}

}  // namespace kelvane
