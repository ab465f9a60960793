// Split benchmark, measured in one run on a generated 10-minute 1280x720
// H.264 + AAC clip (25 fps, a key frame every 2 s, made once and reused):
//
//  (a) the whole `kelvane-split` process cutting 10 s at the start to the
//      default format ("MP4 - MPEG4 Video": MPEG-4 at 1500 kbit/s, AAC at
//      128 kbit/s, 48000 Hz stereo, the source's size), against a minimal
//      decode-scale-encode loop over the same libraries, with the same codecs,
//      bit rates and size and every core at work. The aim: within 1.10.
//  (b) the same process cutting 10 s at the start, in the middle and near the
//      end. A cut should cost the same wherever it lies; the aim: the cut near
//      the end within 1.3 of the cut at the start.
//  (c) today's encoders on the first 10 s of a generated 12 s 1920x1080 H.264
//      + AAC clip: H.264 (libx264 "preset=fast", CRF 22) and H.265 (libx265
//      "preset=fast", CRF 24), each with AAC at 128 kbit/s in MP4 with
//      "+faststart", as a whole split through the engine's option records and
//      option lines in a process of its own, against the minimal loop with
//      the same encoder settings. The aim: within 1.05.
//
// Each time is the best of five; the ratios are printed on their own lines.
//
//   SplitBench [folder]    the clip is made in (and reused from) `folder`,
//                          by default the system's temporary folder
//   SplitBench --today [folder]   (c) alone
//   SplitBench --loop IN OUT [ENCODER OPTIONS]   the minimal loop alone (the
//                          benchmark runs it as a program of its own, as
//                          kelvane-split is); ENCODER and OPTIONS ("preset=fast
//                          crf=22") select one of today's encoders
//   SplitBench --engine IN OUT ENCODER OPTIONS   the engine's whole split of
//                          the first 10 s with that encoder, the options as
//                          option lines
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "tools/fixtures/FixtureGenerator.h"

extern char** environ;

using namespace kelvane;

namespace {

constexpr int kVideoBitRate = 1500000;
constexpr int kAudioBitRate = 128000;
constexpr int kSampleRate = 48000;
constexpr double kClipSeconds = 600;
constexpr double kCutSeconds = 10;
constexpr int kRounds = 5;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// What a program run cost: the time on the clock, and the processor time of
// all its threads (steadier on a machine that others share).
struct TCost {
  double Wall = 1e9;
  double Processor = 1e9;
};

// Runs a program with its output thrown away; false unless it exits with 0.
bool RunProgram(std::vector<std::string> args, TCost* cost = nullptr) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child) return false;
  if (cost != nullptr) {
    cost->Wall = Seconds(std::chrono::steady_clock::now() - start);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    cost->Processor = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The command a user runs: `kelvane-split --start S --end E ...` to the
// default format.
std::vector<std::string> SplitCommand(const std::string& clip, const std::string& folder,
                                      double start) {
  return {KELVANE_SPLIT_EXE,    "--start", std::to_string(start),
          "--end",              std::to_string(start + kCutSeconds),
          "--output-dir",       folder,    "--overwrite",
          clip};
}

// The same work without Kelvane: decode, convert, encode, interleave, with
// the libraries' own threads.
class TMinimalLoop {
 public:
  // `encoder` empty: MPEG-4 at kVideoBitRate; else that encoder with its
  // private options ("preset=fast crf=22", space separated) and "+faststart".
  TMinimalLoop(std::string encoder = "", std::string options = "")
      : encoder_(std::move(encoder)), options_(std::move(options)) {}
  bool Run(const std::string& input, const std::string& output, std::string& error);

 private:
  bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
  }
  bool OpenInput(const std::string& input, std::string& error);
  bool OpenOutput(const std::string& output, std::string& error);
  void SetUpSoundConversion();
  void Write(AVCodecContext* enc, AVStream* stream, AVFrame* frame);
  void EncodePicture(AVFrame* decoded);
  void EncodeSound(AVFrame* decoded, bool last);
  void Receive(AVCodecContext* dec, AVStream* stream);

  AVInputFormatContextPtr in_;
  AVFormatContextPtr out_;
  AVStream* vin_ = nullptr;
  AVStream* ain_ = nullptr;
  AVStream* vout_ = nullptr;
  AVStream* aout_ = nullptr;
  AVCodecContextPtr vdec_, adec_, venc_, aenc_;
  SwsContextPtr sws_;
  SwrContextPtr swr_;
  AVAudioFifoPtr fifo_;
  AVPacketPtr packet_{avcodec.av_packet_alloc()};
  AVFramePtr decoded_{avutil.av_frame_alloc()};
  AVFramePtr picture_{avutil.av_frame_alloc()};
  AVFramePtr samples_{avutil.av_frame_alloc()};
  int64_t next_video_ = 0;
  int64_t next_audio_ = 0;
  std::string encoder_;
  std::string options_;
};

AVCodecContextPtr OpenDecoder(AVStream* stream) {
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  AVCodecContextPtr ctx(avcodec.avcodec_alloc_context3(codec));
  avcodec.avcodec_parameters_to_context(ctx.get(), stream->codecpar);
  ctx->pkt_timebase = stream->time_base;
  ctx->thread_count = 0;
  if (avcodec.avcodec_open2(ctx.get(), codec, nullptr) < 0) ctx.reset();
  return ctx;
}

bool TMinimalLoop::OpenInput(const std::string& input, std::string& error) {
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_open_input(&raw, input.c_str(), nullptr, nullptr) < 0)
    return Fail(error, "cannot open " + input);
  in_.reset(raw);
  avformat.avformat_find_stream_info(raw, nullptr);
  const int vi = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int ai = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (vi < 0 || ai < 0) return Fail(error, "the clip needs video and audio");
  vin_ = raw->streams[vi];
  ain_ = raw->streams[ai];
  vdec_ = OpenDecoder(vin_);
  adec_ = OpenDecoder(ain_);
  if (!vdec_ || !adec_) return Fail(error, "cannot open the decoders");
  return true;
}

// The encoder's private options from "name=value name=value".
AVDictionary* OptionList(const std::string& options) {
  AVDictionary* list = nullptr;
  size_t at = 0;
  while (at < options.size()) {
    size_t end = options.find(' ', at);
    if (end == std::string::npos) end = options.size();
    const std::string pair = options.substr(at, end - at);
    const size_t equals = pair.find('=');
    if (equals != std::string::npos)
      avutil.av_dict_set(&list, pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str(),
                         0);
    at = end + 1;
  }
  return list;
}

bool TMinimalLoop::OpenOutput(const std::string& output, std::string& error) {
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_alloc_output_context2(&raw, nullptr, nullptr, output.c_str()) < 0)
    return Fail(error, "cannot make the output");
  out_.reset(raw);
  const AVCodec* vcodec =
      avcodec.avcodec_find_encoder_by_name(encoder_.empty() ? "mpeg4" : encoder_.c_str());
  if (vcodec == nullptr) return Fail(error, "no encoder " + encoder_);
  venc_.reset(avcodec.avcodec_alloc_context3(vcodec));
  venc_->width = vdec_->width;
  venc_->height = vdec_->height;
  venc_->pix_fmt = AV_PIX_FMT_YUV420P;
  const AVRational rate = avformat.av_guess_frame_rate(in_.get(), vin_, nullptr);
  venc_->time_base = av_inv_q(rate);
  venc_->framerate = rate;
  if (encoder_.empty()) venc_->bit_rate = kVideoBitRate;
  AVDictionaryPtr video_options(OptionList(options_));
  venc_->sample_aspect_ratio = vdec_->sample_aspect_ratio;
  venc_->thread_count = 0;
  const AVCodec* acodec = avcodec.avcodec_find_encoder_by_name("aac");
  aenc_.reset(avcodec.avcodec_alloc_context3(acodec));
  aenc_->sample_rate = kSampleRate;
  avutil.av_channel_layout_default(&aenc_->ch_layout, 2);
  aenc_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  aenc_->time_base = AVRational{1, kSampleRate};
  aenc_->bit_rate = kAudioBitRate;
  if (raw->oformat->flags & AVFMT_GLOBALHEADER) {
    venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    aenc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  TPointerLoan loan(video_options);
  if (avcodec.avcodec_open2(venc_.get(), vcodec, loan.Address()) < 0 ||
      avcodec.avcodec_open2(aenc_.get(), acodec, nullptr) < 0)
    return Fail(error, "cannot open the encoders");
  vout_ = avformat.avformat_new_stream(raw, nullptr);
  aout_ = avformat.avformat_new_stream(raw, nullptr);
  avcodec.avcodec_parameters_from_context(vout_->codecpar, venc_.get());
  avcodec.avcodec_parameters_from_context(aout_->codecpar, aenc_.get());
  vout_->time_base = venc_->time_base;
  aout_->time_base = aenc_->time_base;
  if (avformat.avio_open(&raw->pb, output.c_str(), AVIO_FLAG_WRITE) < 0)
    return Fail(error, "cannot write " + output);
  AVDictionary* muxer = nullptr;
  if (!encoder_.empty()) avutil.av_dict_set(&muxer, "movflags", "+faststart", 0);
  AVDictionaryPtr muxer_options(muxer);
  TPointerLoan muxer_loan(muxer_options);
  if (avformat.avformat_write_header(raw, muxer_loan.Address()) < 0)
    return Fail(error, "header failed");
  SetUpSoundConversion();
  return true;
}

// The decoded sound into the AAC encoder's format, through a FIFO of its frames.
void TMinimalLoop::SetUpSoundConversion() {
  SwrContext* swr = nullptr;
  swresample.swr_alloc_set_opts2(&swr, &aenc_->ch_layout, aenc_->sample_fmt, aenc_->sample_rate,
                                 &adec_->ch_layout, adec_->sample_fmt, adec_->sample_rate, 0,
                                 nullptr);
  swr_.reset(swr);
  swresample.swr_init(swr);
  fifo_.reset(avutil.av_audio_fifo_alloc(aenc_->sample_fmt, aenc_->ch_layout.nb_channels,
                                         aenc_->frame_size * 4));
}

void TMinimalLoop::Write(AVCodecContext* enc, AVStream* stream, AVFrame* frame) {
  avcodec.avcodec_send_frame(enc, frame);
  while (avcodec.avcodec_receive_packet(enc, packet_.get()) == 0) {
    avcodec.av_packet_rescale_ts(packet_.get(), enc->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    avformat.av_interleaved_write_frame(out_.get(), packet_.get());
  }
}

void TMinimalLoop::EncodePicture(AVFrame* decoded) {
  AVFrame* picture = decoded;
  if (decoded->format != venc_->pix_fmt || decoded->width != venc_->width ||
      decoded->height != venc_->height) {
    sws_.reset(swscale.sws_getCachedContext(
        sws_.release(), decoded->width, decoded->height,
        static_cast<AVPixelFormat>(decoded->format), venc_->width, venc_->height, venc_->pix_fmt,
        SWS_BICUBIC, nullptr, nullptr, nullptr));
    avutil.av_frame_unref(picture_.get());
    picture_->format = venc_->pix_fmt;
    picture_->width = venc_->width;
    picture_->height = venc_->height;
    avutil.av_frame_get_buffer(picture_.get(), 0);
    swscale.sws_scale(sws_.get(), decoded->data, decoded->linesize, 0, decoded->height,
                      picture_->data, picture_->linesize);
    picture = picture_.get();
  }
  picture->pts = next_video_++;
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  Write(venc_.get(), vout_, picture);
}

void TMinimalLoop::EncodeSound(AVFrame* decoded, bool last) {
  if (decoded != nullptr) {
    const int room = swresample.swr_get_out_samples(swr_.get(), decoded->nb_samples);
    std::vector<uint8_t*> planes(static_cast<size_t>(aenc_->ch_layout.nb_channels));
    int linesize = 0;
    avutil.av_samples_alloc(planes.data(), &linesize, aenc_->ch_layout.nb_channels, room,
                            aenc_->sample_fmt, 0);
    const int got = swresample.swr_convert(swr_.get(), planes.data(), room,
                                           const_cast<const uint8_t**>(decoded->extended_data),
                                           decoded->nb_samples);
    if (got > 0)
      avutil.av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes.data()), got);
    avutil.av_freep(&planes[0]);
  }
  while (avutil.av_audio_fifo_size(fifo_.get()) >= (last ? 1 : aenc_->frame_size)) {
    const int n = std::min(avutil.av_audio_fifo_size(fifo_.get()), aenc_->frame_size);
    avutil.av_frame_unref(samples_.get());
    samples_->nb_samples = n;
    samples_->format = aenc_->sample_fmt;
    samples_->sample_rate = aenc_->sample_rate;
    avutil.av_channel_layout_copy(&samples_->ch_layout, &aenc_->ch_layout);
    avutil.av_frame_get_buffer(samples_.get(), 0);
    avutil.av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(samples_->data), n);
    samples_->pts = next_audio_;
    next_audio_ += n;
    Write(aenc_.get(), aout_, samples_.get());
  }
}

// Everything the decoder has ready that lies inside the segment.
void TMinimalLoop::Receive(AVCodecContext* dec, AVStream* stream) {
  while (avcodec.avcodec_receive_frame(dec, decoded_.get()) == 0) {
    const int64_t us = avutil.av_rescale_q(decoded_->best_effort_timestamp, stream->time_base,
                                           AV_TIME_BASE_Q);
    if (us < static_cast<int64_t>(kCutSeconds * 1e6)) {
      if (dec == vdec_.get())
        EncodePicture(decoded_.get());
      else
        EncodeSound(decoded_.get(), false);
    }
    avutil.av_frame_unref(decoded_.get());
  }
}

bool TMinimalLoop::Run(const std::string& input, const std::string& output, std::string& error) {
  if (!OpenInput(input, error) || !OpenOutput(output, error)) return false;
  const int64_t end = static_cast<int64_t>(kCutSeconds * 1e6);
  while (avformat.av_read_frame(in_.get(), packet_.get()) >= 0) {
    AVStream* stream = in_->streams[packet_->stream_index];
    // Past the segment by more than the decoders' delay: the rest is not needed.
    const bool past = packet_->dts != AV_NOPTS_VALUE &&
                      avutil.av_rescale_q(packet_->dts, stream->time_base, AV_TIME_BASE_Q) >=
                          end + 500000;
    const bool video = stream == vin_;
    if (video || stream == ain_) {
      avcodec.avcodec_send_packet(video ? vdec_.get() : adec_.get(), packet_.get());
      Receive(video ? vdec_.get() : adec_.get(), stream);
    }
    avcodec.av_packet_unref(packet_.get());
    if (past) break;
  }
  avcodec.avcodec_send_packet(vdec_.get(), nullptr);
  Receive(vdec_.get(), vin_);
  avcodec.avcodec_send_packet(adec_.get(), nullptr);
  Receive(adec_.get(), ain_);
  EncodeSound(nullptr, true);
  Write(venc_.get(), vout_, nullptr);
  Write(aenc_.get(), aout_, nullptr);
  avformat.av_write_trailer(out_.get());
  avformat.avio_closep(&out_->pb);
  return true;
}

// The engine's whole split of the first kCutSeconds, set as a split sets
// today's formats: records for the codecs and rates, option lines for the
// encoder's own options and the muxer's.
bool RunEngineSplit(const std::string& input, const std::string& output,
                    const std::string& encoder, const std::string& options, std::string& error) {
  TFFConverter converter;
  if (converter.AddTask(input) < 0) {
    error = converter.LastError();
    return false;
  }
  TOutputOptions out;
  out.VideoCodec = encoder;
  out.AudioCodec = "aac";
  out.AudioBitrate = kAudioBitRate;
  out.AudioSampleRate = kSampleRate;
  out.AudioChannels = 2;
  out.RecordingTime = static_cast<int32_t>(kCutSeconds * 1000);
  out.ExtOptions = options + " movflags=+faststart";
  for (char& c : out.ExtOptions) {
    if (c == ' ') c = '\n';
  }
  if (!converter.SetOutput(0, output, &out)) {
    error = converter.LastError();
    return false;
  }
  std::string message = "no end event";
  converter.OnTerminate = [&](int32_t task, bool finished, bool exception,
                              const std::string& text) {
    if (task >= 0) message = finished && !exception ? "" : text;
  };
  converter.Start(0);
  converter.ClearTasks();
  error = message;
  return message.empty();
}

bool MakeClip(const std::string& clip, int width = 1280, int height = 720,
              double seconds = kClipSeconds) {
  if (std::filesystem::exists(clip)) return true;
  fixtures::TFixtureRecipe recipe;
  fixtures::FixturePreset("mp4-h264-aac", recipe);
  recipe.Width = width;
  recipe.Height = height;
  recipe.Seconds = seconds;
  recipe.GopSize = 50;
  recipe.SampleRate = kSampleRate;
  std::string error;
  std::printf("making %s (a few minutes, once) ...\n", clip.c_str());
  std::fflush(stdout);
  if (fixtures::GenerateFixture(recipe, clip, &error)) return true;
  std::fprintf(stderr, "cannot make the clip: %s\n", error.c_str());
  return false;
}

// (c): the engine's whole split against the minimal loop for each of today's
// encoders, best of kRounds, the ratios on one line.
bool TodaysEncoders(const std::string& self, const std::filesystem::path& folder,
                    const std::filesystem::path& out) {
  const std::string clip = (folder / "kelvane-bench-12s-1080p.mp4").string();
  if (!MakeClip(clip, 1920, 1080, kCutSeconds + 2)) return false;
  struct TEncoder {
    const char* Name;
    const char* Encoder;
    const char* Options;
  };
  const TEncoder encoders[] = {{"H.264", "libx264", "preset=fast crf=22"},
                               {"H.265", "libx265", "preset=fast crf=24"}};
  std::string ratios = "ratios whole split / minimal loop:";
  for (const TEncoder& e : encoders) {
    const std::vector<std::vector<std::string>> runs = {
        {self, "--loop", clip, (out / "loop-today.mp4").string(), e.Encoder, e.Options},
        {self, "--engine", clip, (out / "engine-today.mp4").string(), e.Encoder, e.Options}};
    TCost best[2];
    for (const auto& run : runs) RunProgram(run);  // warms the caches
    for (int round = 0; round < kRounds; ++round) {
      for (size_t i = 0; i < runs.size(); ++i) {
        TCost cost;
        if (!RunProgram(runs[i], &cost)) {
          std::fprintf(stderr, "failed: %s %s %s\n", runs[i][1].c_str(), e.Encoder, e.Options);
          return false;
        }
        best[i].Wall = std::min(best[i].Wall, cost.Wall);
        best[i].Processor = std::min(best[i].Processor, cost.Processor);
      }
    }
    std::printf("%s (%s %s + AAC in MP4), 10 s of 1920x1080: minimal loop %.2f (%.2f), "
                "whole split %.2f (%.2f)\n",
                e.Name, e.Encoder, e.Options, best[0].Wall, best[0].Processor, best[1].Wall,
                best[1].Processor);
    ratios += FormatText(" %s %.3f (processor %.3f)", e.Name, best[1].Wall / best[0].Wall,
                         best[1].Processor / best[0].Processor);
  }
  std::printf("%s\n", ratios.c_str());
  return true;
}

// Runs every program once to warm the caches, then kRounds times; `best`
// keeps each one's best times. False when one fails.
bool BestOfRounds(const std::vector<std::vector<std::string>>& runs, std::vector<TCost>& best) {
  for (const auto& run : runs) RunProgram(run);
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < runs.size(); ++i) {
      TCost cost;
      if (!RunProgram(runs[i], &cost)) {
        std::fprintf(stderr, "failed: %s %s\n", runs[i][0].c_str(), runs[i][1].c_str());
        return false;
      }
      best[i].Wall = std::min(best[i].Wall, cost.Wall);
      best[i].Processor = std::min(best[i].Processor, cost.Processor);
    }
  }
  return true;
}

// The best times of the minimal loop and the three cuts (at the start, in
// the middle, near the end), and their ratios.
void PrintBest(const std::vector<TCost>& best, double middle, double near_end) {
  std::printf("clip: %.0f s of 1280x720 H.264 + AAC; cuts of %.0f s to MPEG-4 %d kbit/s + AAC %d"
              " kbit/s in MP4; best of %d, clock (processor) seconds\n",
              kClipSeconds, kCutSeconds, kVideoBitRate / 1000, kAudioBitRate / 1000, kRounds);
  const double starts[] = {0, 0, middle, near_end};
  for (size_t i = 0; i < best.size(); ++i)
    std::printf("%-14s cut at %5.1f s: %5.2f (%5.2f)\n", i == 0 ? "minimal loop" : "kelvane-split",
                starts[i], best[i].Wall, best[i].Processor);
  auto ratio = [&](const char* what, size_t a, size_t b) {
    std::printf("ratio %s: %.3f (processor %.3f)\n", what, best[a].Wall / best[b].Wall,
                best[a].Processor / best[b].Processor);
  };
  ratio("whole split / minimal loop", 1, 0);
  ratio("cut in the middle / cut at the start", 2, 1);
  ratio("cut near the end / cut at the start", 3, 1);
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  const std::string self = argv[0];
  if (!GetLoader().LoadLibraries(EngineLibraries)) {
    std::fprintf(stderr, "cannot load the libraries: %s\n", GetLoader().LastError().c_str());
    return 1;
  }
  if ((argc == 4 || argc == 6) && std::string(argv[1]) == "--loop") {
    std::string error;
    TMinimalLoop loop(argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : "");
    if (loop.Run(argv[2], argv[3], error)) return 0;
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (argc == 6 && std::string(argv[1]) == "--engine") {
    std::string error;
    if (RunEngineSplit(argv[2], argv[3], argv[4], argv[5], error)) return 0;
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const bool today_only = argc > 1 && std::string(argv[1]) == "--today";
  if (today_only) {
    --argc;
    ++argv;
  }
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  if (today_only) {
    const std::filesystem::path out = folder / "kelvane-bench-out";
    std::filesystem::create_directories(out);
    return TodaysEncoders(self, folder, out) ? 0 : 1;
  }
  const std::string clip = (folder / "kelvane-bench-10min-720p.mp4").string();
  if (!MakeClip(clip)) return 1;
  const std::filesystem::path out = folder / "kelvane-bench-out";
  std::filesystem::create_directories(out);

  // Both sides run as programs of their own, round after round, so that the
  // machine's other work falls on both alike; the best time of each counts.
  const double middle = kClipSeconds / 2 - 4.7;  // marks fall anywhere, not on key frames
  const double near_end = kClipSeconds - kCutSeconds - 1.3;
  const std::vector<std::vector<std::string>> runs = {
      {argv[0], "--loop", clip, (out / "loop.mp4").string()},
      SplitCommand(clip, out.string(), 0),
      SplitCommand(clip, out.string(), middle),
      SplitCommand(clip, out.string(), near_end)};
  std::vector<TCost> best(runs.size());
  if (!BestOfRounds(runs, best)) return 1;
  PrintBest(best, middle, near_end);
  return TodaysEncoders(self, folder, out) ? 0 : 1;
}
