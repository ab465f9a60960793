// What a conversion task's set-up keeps besides the records it hands to its
// run (engine/core/TaskRecords.h): the settings waiting for the next input,
// output or stream, and the time ranges of the frame hooks.
//
// A task (TCustomFFmpeg) owns one TPendingSettings: what the option language
// sets for the NEXT opened input, the NEXT added output file or the NEXT
// created stream. Opening an input, adding an output and creating a stream
// consume (reset) parts of it.
//
// Threads: the set-up only (the thread calling AddTask/SetOutput); the run does
// not read these.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/TaskRecords.h"

namespace kelvane {

constexpr float NoAudioQuality = -99999.0f;  // aq not given

// Indices of the media kinds in the per-kind tables (codec names, tags, ...).
enum TStreamKind : int { skVideo = 0, skAudio = 1, skSubtitle = 2 };

// A time range (µs) in which the frame hooks apply.
struct THookRange {
  int64_t Start = 0;
  int64_t End = 0;
};

// Settings taken over by the next opened input, added output or created stream.
struct TPendingSettings {
  // Formats for the next input (input_format) and the next output (output_format).
  const AVInputFormat* input_format = nullptr;
  const AVOutputFormat* output_format = nullptr;
  bool pgmyuv = false;  // image reader in pgmyuv mode: the video decoder becomes pgmyuv

  // Next input: timestamp offset (µs) and per-stream timestamp scales.
  int64_t input_ts_offset = 0;
  std::array<double, MaxStreams> input_ts_scale{};  // 0 means not given (1.0)
  bool loop_input = false;
  int video_channel = 0;      // capture channel ("vc")
  std::string video_standard; // capture television standard ("tvstd")

  // Picture geometry and format; an opened input sets these from its video stream.
  int frame_width = 0;
  int frame_height = 0;
  AVRational frame_rate{0, 0};       // num/den; den 0: not known
  bool frame_rate_given = false;     // by the options rather than taken from the input
  float frame_aspect_ratio = 0.0f;   // 0: not known
  AVPixelFormat frame_pix_fmt = AV_PIX_FMT_NONE;
  // The size and the aspect came from the options, not from the input.
  bool frame_size_given = false;
  bool frame_aspect_given = false;
  // The input's display matrix (a picture stored on its side) and the
  // clockwise turn it asks for; an output either keeps the matrix or, with
  // upright_pictures, has its pictures turned and no matrix.
  bool has_display_matrix = false;
  std::array<int32_t, 9> display_matrix{};
  int32_t frame_rotation = 0;
  bool upright_pictures = false;

  // Audio; an opened input sets these from its audio stream.
  int audio_sample_rate = 44100;
  int audio_channels = 1;
  uint64_t audio_channel_layout = 0;  // native channel mask, 0: unknown
  AVSampleFormat audio_sample_fmt = AV_SAMPLE_FMT_NONE;

  // Per kind (TStreamKind): codec name ("" none), stream copy, codec tag,
  // disabled kind, bitstream filter chain ("name" or "name=args" each).
  std::array<std::string, 3> codec_name;
  std::array<bool, 3> stream_copy{};
  std::array<uint32_t, 3> codec_tag{};
  std::array<bool, 3> disable{};
  std::array<std::vector<std::string>, 3> bitstream_filters;
  std::string audio_language;
  std::string subtitle_language;

  // Options of the chosen encoder's own class (e.g. libx264's "preset",
  // "crf", "profile"), checked against that encoder when given. Each new
  // stream's encoder takes those of its kind that its class declares; kept for
  // every later stream, as the other codec options. (Names of other encoders
  // and muxers given before the codec is chosen are kept by OptionDefaults.)
  struct TPrivateOption {
    int kind = skVideo;  // TStreamKind
    std::string name, value;
  };
  std::vector<TPrivateOption> codec_private_options;

  // Next output file.
  std::vector<std::pair<std::string, std::string>> metadata;  // in the order given
  int64_t recording_timestamp = 0;  // seconds since 1970; 0: none
  float mux_preload = 0.5f;         // seconds
  float mux_max_delay = 0.7f;       // seconds
  int loop_output = -1;             // -1: the format's default (no loop)

  // Next video stream.
  bool intra_only = false;
  float video_qscale = 0.0f;  // fixed quantiser, 0: none
  bool same_quality = false;
  std::vector<uint16_t> intra_matrix;  // 64 coefficients when given
  std::vector<uint16_t> inter_matrix;
  std::string video_rc_override;
  int me_threshold = 0;
  int intra_dc_precision = 8;
  int video_global_header = 0;  // "vglobal" bits
  bool force_fps = false;
  int video_discard = 0;  // "vdt": discard level for the next input's video streams

  // Next audio stream.
  float audio_qscale = NoAudioQuality;

  // Threads of every decoder and encoder opened afterwards ("threads"); 0
  // lets the libraries use one per core.
  int thread_count = 0;
};

}  // namespace kelvane
