#include "probe/AVProbe.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/PictureRotation.h"
#include "binding/Text.h"

namespace kelvane {
namespace {

// printf into a string of any length (file names may be long).
__attribute__((format(printf, 1, 2))) std::string Format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    vsnprintf(text.data(), text.size() + 1, pattern, args);
  }
  va_end(args);
  return text;
}

int64_t NoValueToMinusOne(int64_t value) { return value == AV_NOPTS_VALUE ? -1 : value; }

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

std::string Tag(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = avutil.av_dict_get(metadata, key, nullptr, 0);
  return entry != nullptr && entry->value != nullptr ? entry->value : "";
}

// The number a tag starts with ("2009-05-01" -> 2009, "3/12" -> 3); 0 when none.
int32_t LeadingNumber(const std::string& text) {
  return ClampToInt32(strtoll(text.c_str(), nullptr, 10));
}

// The demuxers recognise nothing in the file's first bytes: the format is unknown
// (rather than known but damaged).
bool ContentIsUnrecognised(const std::string& library_name) {
  int error = 0;
  std::unique_ptr<TUnicodeIO> io = TUnicodeIO::Open(library_name, AVIO_FLAG_READ, error);
  if (!io) return false;
  constexpr int kProbeBytes = 1 << 20;
  std::vector<uint8_t> buffer(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
  int size = 0;
  while (size < kProbeBytes) {
    int got = avformat.avio_read(io->Context(), buffer.data() + size, kProbeBytes - size);
    if (got <= 0) break;
    size += got;
  }
  // No file name: its extension alone would make any content look like a match.
  AVProbeData probe_data{};
  probe_data.filename = "";
  probe_data.buf = buffer.data();
  probe_data.buf_size = size;
  return avformat.av_probe_input_format(&probe_data, 1) == nullptr;
}

}  // namespace

// ---- texts -----------------------------------------------------------------

std::string CodecDescription(AVCodecID codec_id, uint32_t codec_tag) {
  if (const AVCodec* decoder = avcodec.avcodec_find_decoder(codec_id)) {
    std::string long_name = Trim(decoder->long_name != nullptr ? decoder->long_name : "");
    if (long_name.empty()) return decoder->name;
    return Format("%s(%s)", decoder->name, long_name.c_str());
  }
  if (codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  // The codec's registered name stands in for the old context's name field.
  if (const AVCodecDescriptor* descriptor = avcodec.avcodec_descriptor_get(codec_id)) {
    std::string name = Trim(descriptor->name != nullptr ? descriptor->name : "");
    if (!name.empty()) return name;
  }
  char chars[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    chars[i] = static_cast<char>((codec_tag >> (8 * i)) & 0xFF);
    const unsigned char byte = static_cast<unsigned char>(chars[i]);
    printable = printable && byte >= 32 && byte <= 126;
  }
  if (printable) {
    return Format("%c%c%c%c / 0x%04X", chars[0], chars[1], chars[2], chars[3], codec_tag);
  }
  return Format("0x%04x", codec_tag);
}

std::string CodecDescription(const AVCodecParameters* parameters) {
  if (parameters == nullptr) return std::string();
  return CodecDescription(parameters->codec_id, parameters->codec_tag);
}

std::string CodecDescription(const AVCodecContext* context) {
  if (context == nullptr) return std::string();
  return CodecDescription(context->codec_id, context->codec_tag);
}

const char* CodecTypeName(int codec_type) {
  switch (codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      return "Video";
    case AVMEDIA_TYPE_AUDIO:
      return "Audio";
    case AVMEDIA_TYPE_DATA:
      return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
      return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
      return "Attachment";
    default:
      return "Unknown";
  }
}

std::string OpenErrorText(int error, const std::string& file_name) {
  const char* name = file_name.c_str();
  switch (error) {
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_MUXER_NOT_FOUND:
    case AVERROR_PROTOCOL_NOT_FOUND:
    case AVERROR(EILSEQ):  // the old "no format" code
      return Format("%s: Unknown format", name);
    case AVERROR(EDOM):  // the old "number expected" code of image sequences
      return Format(
          "%s: Incorrect image filename syntax.\r\n"
          "Use '%%d' to specify the image number:\r\n"
          "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
          "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.",
          name);
    case AVERROR_INVALIDDATA:
    case AVERROR(EINVAL):
      return Format("%s: Error while parsing header", name);
    case AVERROR(ENOMEM):
      return Format("%s: memory allocation error occurred", name);
    case AVERROR(EIO):
    case AVERROR_EOF:
      return Format(
          "%s: I/O error occurred\r\n"
          "Usually that means that input file is truncated and/or corrupted.",
          name);
    case AVERROR(ENOENT):
      return Format("%s: no such file or directory", name);
    default:
      return Format("%s: Error while opening file", name);
  }
}

// ---- TCustomAVProbe --------------------------------------------------------

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() { TCustomAVProbe::CloseFile(); }

void TCustomAVProbe::CheckLibraries() {
  static const struct {
    TLibraryId id;
    const char* message;
  } kRequired[] = {{LibAVCodec, "LibAVCodec not loaded."},
                   {LibAVFormat, "LibAVFormat not loaded."},
                   {LibAVUtil, "LibAVUtil not loaded."},
                   {LibSwScale, "LibSwScale not loaded."}};
  for (const auto& library : kRequired) {
    if (!GetLoader().LibraryLoaded(library.id)) throw TAVProbeError(library.message);
  }
}

bool TCustomAVProbe::LoadFile(const std::string& file_name, const std::string& format_name) {
  CheckLibraries();
  CloseFile();
  const AVInputFormat* format = nullptr;
  if (!format_name.empty()) {
    format = avformat.av_find_input_format(format_name.c_str());
    if (format == nullptr) {
      last_err_msg_ = Format("Unknown input format: %s", format_name.c_str());
      return false;
    }
  }
  const std::string library_name = ToLibraryFileName(file_name);
  int error = OpenInputContext(library_name, format, nullptr, owned_input_);
  if (error < 0) {
    // The library answers "invalid data" both for a damaged file of a known
    // format and for content no demuxer recognises; only the first is a header
    // error.
    if (error == AVERROR_INVALIDDATA && format == nullptr && ContentIsUnrecognised(library_name)) {
      error = AVERROR_DEMUXER_NOT_FOUND;
    }
    last_err_msg_ = OpenErrorText(error, file_name);
    CloseFile();
    return false;
  }
  context_ = owned_input_.Get();
  owns_context_ = true;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(context_, nullptr);
  }
  if (error < 0) {
    last_err_msg_ = Format("%s: could not find codec parameters", file_name.c_str());
    CloseFile();
    return false;
  }
  CountStreams();
  forced_format_ = format_name;
  return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* context) {
  CheckLibraries();
  CloseFile();
  owns_context_ = false;
  context_ = context;
  CountStreams();
}

void TCustomAVProbe::CloseFile() {
  forced_format_.clear();
  if (owns_context_) owned_input_.Close();
  owns_context_ = false;
  context_ = nullptr;
  CountStreams();
}

void TCustomAVProbe::CountStreams() {
  stream_count_ = program_count_ = -1;
  audio_stream_count_ = video_stream_count_ = subtitle_stream_count_ = -1;
  first_audio_stream_index_ = first_video_stream_index_ = first_subtitle_stream_index_ = -1;
  if (context_ == nullptr) return;
  stream_count_ = static_cast<int32_t>(context_->nb_streams);
  program_count_ = static_cast<int32_t>(context_->nb_programs);
  audio_stream_count_ = video_stream_count_ = subtitle_stream_count_ = 0;
  for (int32_t i = 0; i < stream_count_; ++i) {
    switch (context_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++video_stream_count_;
        if (first_video_stream_index_ == -1) first_video_stream_index_ = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++audio_stream_count_;
        if (first_audio_stream_index_ == -1) first_audio_stream_index_ = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++subtitle_stream_count_;
        if (first_subtitle_stream_index_ == -1) first_subtitle_stream_index_ = i;
        break;
      default:
        break;  // data and attachments are counted nowhere
    }
  }
}

std::string TCustomAVProbe::ContainerName() const {
  if (context_ == nullptr || context_->iformat == nullptr) return std::string();
  return context_->iformat->name;
}

std::vector<TStreamSummary> TCustomAVProbe::StreamSummaries() const {
  std::vector<TStreamSummary> streams;
  if (context_ == nullptr) return streams;
  for (unsigned i = 0; i < context_->nb_streams; ++i) {
    const AVCodecParameters* par = context_->streams[i]->codecpar;
    TStreamSummary stream;
    stream.CodecName = avcodec.avcodec_get_name(par->codec_id);
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        stream.Kind = TStreamSummary::TKind::Video;
        stream.Width = par->width;
        stream.Height = par->height;
        break;
      case AVMEDIA_TYPE_AUDIO:
        stream.Kind = TStreamSummary::TKind::Audio;
        stream.SampleRate = par->sample_rate;
        stream.Channels = par->ch_layout.nb_channels;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        stream.Kind = TStreamSummary::TKind::Subtitle;
        break;
      default:
        break;
    }
    streams.push_back(std::move(stream));
  }
  return streams;
}

void TCustomAVProbe::Fail(int level, const std::string& text) {
  avutil.av_log(nullptr, level, "%s\n", text.c_str());
  last_err_msg_ = text;
}

TFileStreamInfo TCustomAVProbe::GetFileStreamInfo() {
  TFileStreamInfo info;
  if (context_ == nullptr) {
    Fail(AV_LOG_WARNING, "file not loaded.");
    return info;
  }
  const AVDictionary* tags = context_->metadata;
  info.StartTime = NoValueToMinusOne(context_->start_time);
  info.Duration = NoValueToMinusOne(context_->duration);
  info.BitRate = ClampToInt32(context_->bit_rate);
  info.Timestamp = 0;
  const std::string creation_time = Tag(tags, "creation_time");
  int64_t parsed = 0;
  if (!creation_time.empty() && avutil.av_parse_time(&parsed, creation_time.c_str(), 0) >= 0) {
    info.Timestamp = parsed;
  }
  std::string date = Tag(tags, "date");
  info.Year = LeadingNumber(date.empty() ? Tag(tags, "year") : date);
  info.Track = LeadingNumber(Tag(tags, "track"));
  info.Title = Tag(tags, "title");
  info.Author = Tag(tags, "author");
  // Today's demuxers file the author under "artist".
  if (info.Author.empty()) info.Author = Tag(tags, "artist");
  info.Copyright = Tag(tags, "copyright");
  info.Comment = Tag(tags, "comment");
  info.Album = Tag(tags, "album");
  info.Genre = Tag(tags, "genre");
  return info;
}

TVideoStreamInfo TCustomAVProbe::GetVideoStreamInfo() { return GetVideoStreamInfoOf(-1); }

TVideoStreamInfo TCustomAVProbe::GetVideoStreamInfoOf(int stream_index) {
  TVideoStreamInfo info;
  if (context_ == nullptr) {
    Fail(AV_LOG_WARNING, "file not loaded.");
    return info;
  }
  if (stream_index >= 0 && stream_index >= stream_count_) {
    Fail(AV_LOG_ERROR, Format("stream index #%d is invalid.", stream_index));
    return info;
  }
  if (stream_index < 0) {
    stream_index = first_video_stream_index_;
    if (stream_index == -1) {
      Fail(AV_LOG_ERROR, "no video stream.");
      return info;
    }
  }
  AVStream* stream = context_->streams[stream_index];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->codec_type != AVMEDIA_TYPE_VIDEO) {
    Fail(AV_LOG_ERROR, Format("stream #%d is not video stream.", stream_index));
    return info;
  }
  info.Language = Tag(stream->metadata, "language");
  info.CodecName = CodecDescription(parameters);
  // A usable time base before rescaling; the stream keeps the repaired one.
  if (stream->time_base.den == 0) stream->time_base.den = stream->time_base.num;
  if (stream->time_base.den == 0) stream->time_base.den = 1;
  if (stream->start_time != AV_NOPTS_VALUE) {
    info.StartTime = stream->start_time;
    info.StartTimeUs = avutil.av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
  }
  if (stream->duration != AV_NOPTS_VALUE) {
    info.Duration = stream->duration;
    info.DurationUs = avutil.av_rescale_q(stream->duration, stream->time_base, AV_TIME_BASE_Q);
  }
  info.BitRate = ClampToInt32(parameters->bit_rate);
  info.Height = parameters->height;
  info.Width = parameters->width;
  info.PixelFormat = parameters->format;
  // No special case: an unknown ratio (0/1) gives 0, and floating-point
  // exceptions are masked for a 0/0.
  const AVRational sar = parameters->sample_aspect_ratio;
  info.AspectRatio =
      static_cast<float>(static_cast<double>(parameters->width) *
                         (static_cast<double>(sar.num) / sar.den) / parameters->height);
  info.FrameRateNum = stream->r_frame_rate.num;
  info.FrameRateDen = stream->r_frame_rate.den;
  info.Rotation = StreamRotation(stream);
  return info;
}

}  // namespace kelvane
