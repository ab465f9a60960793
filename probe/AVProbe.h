// The media probe: opens one media file (or adopts a format context opened
// elsewhere) and reports its container and video stream properties.
//
// The application asks it about a file the user picks (refusing files without
// video, showing frame size, frame rate and duration); the conversion component
// owns one and points it at each task's first input; the player owns another.
//
// A bad file never raises: LoadFile returns false, the information records come
// back with -1 / empty fields, and LastErrMsg says why. Only a missing library
// raises (TAVProbeError, "LibAVCodec not loaded." ...). The libraries themselves
// are loaded by the owner (engine or player), never by the probe.
//
// Ownership: a file opened by LoadFile belongs to the probe and is closed by
// CloseFile, the next LoadFile or the destructor. A context given to
// AttachContext stays its owner's; CloseFile only forgets it, so the owner must
// keep it open while the probe may still be asked about it.
//
// Threads: one thread at a time (the caller's; LoadFile blocks while the file
// is opened and analysed). Reading the stream information takes CodecLock.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/UnicodeProtocol.h"

namespace kelvane {

// Raised when a library the probe needs is not loaded.
class TAVProbeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// File-level information. Times in microseconds; -1 where unknown.
struct TFileStreamInfo {
  int64_t StartTime = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;    // bits per second, as the format library reports it
  int64_t Timestamp = -1;  // tag "creation_time" in microseconds since 1970; 0 when absent
  int32_t Year = -1;       // leading number of tag "date" (or "year"); 0 when absent
  int32_t Track = -1;      // leading number of tag "track"; 0 when absent
  std::string Title;
  std::string Author;  // tag "author", else "artist"
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

// One video stream. Integers -1 and AspectRatio -1.0 until filled.
struct TVideoStreamInfo {
  std::string Language;    // stream tag "language"
  std::string CodecName;   // CodecDescription of the stream's codec
  int64_t StartTime = -1;  // stream time-base units; -1 when unknown
  int64_t StartTimeUs = -1;
  int64_t Duration = -1;  // stream time-base units; -1 when unknown
  int64_t DurationUs = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;  // coded picture size in pixels
  int32_t Width = -1;
  float AspectRatio = -1.0f;  // width * sample aspect ratio / height
  int32_t PixelFormat = -1;   // AVPixelFormat number
  int32_t FrameRateNum = -1;  // the stream's real base frame rate
  int32_t FrameRateDen = -1;
  // The clockwise turn in degrees (0, 90, 180, 270) the stream's display
  // matrix asks for to show the pictures upright: a phone video recorded
  // upright says 90. Width, Height and AspectRatio stay the stored picture's.
  int32_t Rotation = -1;
};

// One stream in brief, as a report lists it.
struct TStreamSummary {
  enum class TKind { Video, Audio, Subtitle, Other };
  TKind Kind = TKind::Other;
  std::string CodecName;  // the codec's short name: "h264", "aac", "subrip"
  int32_t Width = 0;      // pictures: the coded size (video only)
  int32_t Height = 0;
  int32_t SampleRate = 0;  // sound: Hz and channels (audio only)
  int32_t Channels = 0;
};

class TCustomAVProbe {
 public:
  TCustomAVProbe();
  virtual ~TCustomAVProbe();
  TCustomAVProbe(const TCustomAVProbe&) = delete;
  TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

  // Opens and analyses `file_name` (UTF-8; names the locale cannot carry go
  // through the unicode protocol), with the demuxer `format_name` when that is
  // not empty. Closes any file open before. True on success; on failure the
  // probe is closed and LastErrMsg holds the reason.
  bool LoadFile(const std::string& file_name, const std::string& format_name);
  // Adopts an opened (and analysed) context without taking ownership.
  virtual void AttachContext(AVFormatContext* context);
  // Closes an owned file, forgets an attached one; all counters become -1.
  virtual void CloseFile();

  TFileStreamInfo GetFileStreamInfo();
  // The first video stream.
  TVideoStreamInfo GetVideoStreamInfo();
  // Stream `stream_index`; -1 means the first video stream.
  TVideoStreamInfo GetVideoStreamInfoOf(int stream_index);

  // The demuxer's name ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm"); empty
  // while no file is open.
  std::string ContainerName() const;
  // Every stream of the file in its order; empty while no file is open.
  std::vector<TStreamSummary> StreamSummaries() const;

  // The open file's context, for the probe's own checks; the layers above ask
  // the getters instead.
  AVFormatContext* FormatContext() const { return context_; }
  bool OwnsContext() const { return owns_context_; }
  // The last failure's message; success does not clear it.
  const std::string& LastErrMsg() const { return last_err_msg_; }
  const std::string& ForcedFormat() const { return forced_format_; }
  // -1 while no file is open.
  int32_t StreamCount() const { return stream_count_; }
  int32_t ProgramCount() const { return program_count_; }
  int32_t AudioStreamCount() const { return audio_stream_count_; }
  int32_t VideoStreamCount() const { return video_stream_count_; }
  int32_t SubtitleStreamCount() const { return subtitle_stream_count_; }
  int32_t FirstAudioStreamIndex() const { return first_audio_stream_index_; }
  int32_t FirstVideoStreamIndex() const { return first_video_stream_index_; }
  int32_t FirstSubtitleStreamIndex() const { return first_subtitle_stream_index_; }

 protected:
  // Raises TAVProbeError for the first of avcodec, avformat, avutil and
  // swscale that is not loaded.
  static void CheckLibraries();
  void CountStreams();
  // Logs `text` (with a line feed) at `level` through av_log and keeps it in LastErrMsg.
  void Fail(int level, const std::string& text);

 private:
  AVFormatContext* context_ = nullptr;
  bool owns_context_ = false;
  TInputContext owned_input_;  // the file LoadFile opened, with its I/O context
  std::string last_err_msg_;
  std::string forced_format_;
  int32_t stream_count_ = -1;
  int32_t program_count_ = -1;
  int32_t audio_stream_count_ = -1;
  int32_t video_stream_count_ = -1;
  int32_t subtitle_stream_count_ = -1;
  int32_t first_audio_stream_index_ = -1;
  int32_t first_video_stream_index_ = -1;
  int32_t first_subtitle_stream_index_ = -1;
};

// The probe every owner creates. It holds no decoding resources of its own: the
// probe reads parameters only, so it adds nothing to the base.
class TAVProbe : public TCustomAVProbe {};

// A codec's description for reports: "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)"
// when a decoder exists; else "mpeg2ts" for the transport-stream pseudo codec;
// else the codec's registered name; else the tag as four characters and
// hexadecimal ("XVID / 0x44495658") or only hexadecimal ("0x1234") when a tag
// byte is not printable.
std::string CodecDescription(AVCodecID codec_id, uint32_t codec_tag);
std::string CodecDescription(const AVCodecParameters* parameters);
std::string CodecDescription(const AVCodecContext* context);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
const char* CodecTypeName(int codec_type);

// The message for a failed open of `file_name` with the library's error code:
// "<name>: no such file or directory", "<name>: Unknown format", ...
std::string OpenErrorText(int error, const std::string& file_name);

}  // namespace kelvane
