// The records a conversion task builds before it runs and hands to its run
// (engine/core/Transcoder.h): the run settings, each opened input file with its
// streams, each added output file with its streams, and the stream and
// metadata maps.
//
//  - TRunSettings: settings the transcoding run reads (written by options,
//    read-only while the task runs).
//  - TInputFile / TInputStream: each opened input file with its streams. Every
//    input stream has its own decoder context made from its codecpar (not yet
//    opened; the run opens the ones it decodes from, under CodecLock).
//  - TOutputFile / TOutputStream: each added output file with its streams.
//    Every output stream owns an encoder context configured by the set-up; the
//    run opens it and copies it into the stream's codecpar before the header is
//    written.
//
// Ownership: the task (engine/FFmpeg.h) owns these records; everything in them
// is held by RAII (binding/AVPtr.h) and freed in reverse order of creation when
// the task releases its conversion state or is destroyed. AVStream pointers
// belong to their format context and live as long as it does.
//
// Threads: the set-up fills the records on the thread that calls
// AddTask/SetOutput (the main thread); the task's run reads and updates them on
// its worker thread afterwards. Nothing here is locked: the two never overlap,
// since a task is set up before it starts and never again after.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/UnicodeProtocol.h"

namespace kelvane {

constexpr int MaxFiles = 20;           // input files, output files
constexpr int MaxStreams = 20;         // per-file tables (timestamp scales, ...)
constexpr int MaxStreamMaps = 400;     // map entries
constexpr int MaxMetaDataMaps = 20;    // map_meta_data entries
constexpr int MaxHookTokens = 64;      // vhook plug-in name and arguments

// One "map" option: output streams take their sources in map order.
struct TStreamMapEntry {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SyncFileIndex = 0;
  int32_t SyncStreamIndex = 0;
};

// One "map_meta_data" option: output file OutFile receives the metadata of input file InFile.
struct TMetaDataMap {
  int32_t OutFile = 0;
  int32_t InFile = 0;
};

// Settings the transcoding run reads.
struct TRunSettings {
  int64_t recording_time = std::numeric_limits<int64_t>::max();  // µs
  // µs. Also the pending seek of the next input: OpenInput seeks to it and
  // resets it to 0; given after the input, it is where the output starts.
  int64_t start_time = 0;
  int64_t limit_filesize = 0;  // bytes, 0: none

  int crop_top = 0, crop_bottom = 0, crop_left = 0, crop_right = 0;
  int pad_top = 0, pad_bottom = 0, pad_left = 0, pad_right = 0;
  std::array<uint8_t, 3> pad_color{16, 128, 128};  // Y, Cb, Cr
  // Frame size asked for when the last video stream was created; the run
  // compares the filter output with it when pads and filters meet.
  int requested_width = 0, requested_height = 0;

  // Frame limits by media type (video, audio, data, subtitle).
  std::array<int32_t, 4> max_frames{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  int sws_flags = SWS_BICUBIC;
  std::string filter_description;  // "vfilters"
  bool filters_in_use = false;     // set when an output is added with a chain
  bool deinterlace = false;

  int audio_volume = 256;
  int audio_sync_method = 0;
  float audio_drift_threshold = 0.1f;
  int video_sync_method = -1;
  float dts_delta_threshold = 10.0f;
  bool copy_ts = false;
  bool shortest = false;
  bool input_sync = false;
  bool rate_emu = false;
  int program_id = 0;  // also: the next input keeps only this program (when set)
  bool program_id_set = false;
  bool copy_initial_nonkeyframes = false;
  bool exit_on_error = false;
  int top_field_first = -1;
  int me_threshold = 0;

  int do_pass = 0;  // 0, 1 or 2
  std::string pass_logfile_prefix;
  bool qp_hist = false;
  bool do_psnr = false;
  bool do_pkt_dump = false;
  bool do_hex_dump = false;
  std::string vstats_filename;

  bool join = false;  // join mode: one output file fed by every input file in turn
  // A split starting after the beginning seeks its inputs to a key frame
  // shortly before the start instead of decoding everything before it.
  bool seek_ahead = true;
  // A copied video stream is cut exactly at the marks: the groups of pictures
  // inside the cut are copied, the partial ones at its edges re-encoded
  // (SmartCut.h); copied sound keeps the packets that reach into the cut.
  bool smart_copy = false;
  // How a smart copy re-encodes a whole cut, by encoder: "libx264 preset=fast
  // crf=18" (the encoder's name, then its options). An encoder not named
  // here codes at its finest fixed quantiser.
  std::vector<std::string> smart_reencode;
};

// What a smart copy did with its video, for the caller: "copy" (nothing was
// re-encoded), "smart" (the edges were), "re-encode" (everything was, for the
// reason given); empty when the run made no smart copy.
struct TCutReport {
  std::string Method;
  std::string Reason;
  int64_t CopiedPictures = 0;
  int64_t EncodedPictures = 0;
};

struct TInputStream {
  AVStream* stream = nullptr;  // belongs to the file's format context
  // Decoder context made from the stream's codecpar, with the library option
  // defaults applied; opened (and closed) by the run under CodecLock.
  AVCodecContextPtr decoder_context;
  // Decoder named by the options for this stream; null: found by codec id at run time.
  const AVCodec* chosen_decoder = nullptr;
};

struct TInputFile {
  std::string file_name;  // as given (for messages)
  TInputContext context;  // the opened input (with its own I/O for unicode names)
  std::vector<TInputStream> streams;
  int64_t ts_offset = 0;                             // µs, added to every timestamp
  std::array<double, MaxStreams> ts_scale{};          // per stream index; 0 means 1.0
  int64_t duration_ms = -1;                          // -1: unknown
  // Join mode: the file's part that goes into the output, from where it was
  // opened at (its start time) for this long (µs; 0 or less: to its end), and
  // the title of the chapter that part begins (chapters are written when any
  // input of the join has a part length).
  int64_t part_length = 0;
  std::string part_title;
};

struct TOutputStream {
  AVStream* stream = nullptr;  // belongs to the file's format context
  // The encoder context, configured by the set-up (size, rates, formats,
  // flags, library and private options); opened by the run, then copied into
  // stream->codecpar before the header is written. For stream copy it only
  // carries the media type and the settings the copy takes over.
  AVCodecContextPtr encoder_context;
  // Encoder named by the options, or found from the guessed codec id; null for
  // stream copy or when no encoder exists for the id (the run reports that).
  const AVCodec* encoder = nullptr;
  bool encoder_named = false;  // chosen by name rather than guessed
  // Video without a frame rate of its own, synchronised as variable rate or
  // passed through: the pictures keep the source's times.
  bool source_times = false;
  bool stream_copy = false;
  std::vector<std::string> bitstream_filters;  // "name" or "name=args", in order
  float quality = 0.0f;  // fixed quantiser × FF_QP2LAMBDA, 0: none
  // Clockwise turn (90, 180, 270) the run gives every picture before it is
  // scaled and encoded; 0 leaves them as decoded.
  int32_t rotation = 0;
};

struct TOutputFile {
  TOutputFile() = default;
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;
  // Closes the byte stream, frees the streams and the context, and removes the
  // file from disk when it was left with 0 bytes.
  ~TOutputFile();

  std::string file_name;     // as given (for messages and the empty-file check)
  std::string library_name;  // the name handed to the library (url)
  TOutputContext context;    // the format context and the file's byte stream
  std::vector<TOutputStream> streams;
  bool created_file = false;  // the set-up created (truncated) the file on disk
};

}  // namespace kelvane
