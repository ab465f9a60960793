// Split benchmark: a 30 s segment of a generated 1280x720 H.264 + AAC clip is
// converted to MPEG-4 video + AAC in MP4, once through the conversion engine
// and once by a minimal decode-encode loop over the libraries with the same
// codecs, bit rates and thread settings. Both are timed in the same run and the
// ratio engine / loop is reported (the aim: within 10%).
//
//   SplitBench [folder]    the clip is made in (and reused from) `folder`,
//                          by default the system's temporary folder
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "tools/fixtures/FixtureGenerator.h"

using namespace kelvane;

namespace {

constexpr int kVideoBitRate = 2000000;
constexpr int kAudioBitRate = 128000;
constexpr int64_t kSegmentUs = 30000000;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

bool RunEngine(const std::string& input, const std::string& output, std::string& error) {
  TFFConverter converter;
  bool finished = false;
  converter.OnTerminate = [&](int32_t index, bool done, bool, const std::string& message) {
    if (index >= 0) {
      finished = done;
      if (!done) error = message;
    }
  };
  if (converter.AddTask(input) < 0) {
    error = converter.LastError();
    return false;
  }
  TOutputOptions options;
  ResetOutputOptions(options);
  options.VideoCodec = "mpeg4";
  options.AudioCodec = "aac";
  options.VideoBitrate = kVideoBitRate;
  options.AudioBitrate = kAudioBitRate;
  options.RecordingTime = static_cast<int32_t>(kSegmentUs / 1000);
  if (!converter.SetOutput(0, output, &options)) {
    error = converter.LastError();
    return false;
  }
  converter.Start(0);
  return finished;
}

// The same work without the engine: decode, convert, encode, interleave.
class TMinimalLoop {
 public:
  bool Run(const std::string& input, const std::string& output, std::string& error);

 private:
  bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
  }
  void Write(AVCodecContext* enc, AVStream* stream, AVFrame* frame);

  AVFormatContext* in_ = nullptr;
  AVFormatContext* out_ = nullptr;
  AVPacketPtr packet_{avcodec.av_packet_alloc()};
};

void TMinimalLoop::Write(AVCodecContext* enc, AVStream* stream, AVFrame* frame) {
  avcodec.avcodec_send_frame(enc, frame);
  while (avcodec.avcodec_receive_packet(enc, packet_.get()) == 0) {
    avcodec.av_packet_rescale_ts(packet_.get(), enc->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    avformat.av_interleaved_write_frame(out_, packet_.get());
  }
}

bool TMinimalLoop::Run(const std::string& input, const std::string& output, std::string& error) {
  if (avformat.avformat_open_input(&in_, input.c_str(), nullptr, nullptr) < 0)
    return Fail(error, "cannot open " + input);
  AVInputFormatContextPtr in_owner(in_);
  avformat.avformat_find_stream_info(in_, nullptr);
  const int vi = avformat.av_find_best_stream(in_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int ai = avformat.av_find_best_stream(in_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (vi < 0 || ai < 0) return Fail(error, "the clip needs video and audio");
  AVStream* vin = in_->streams[vi];
  AVStream* ain = in_->streams[ai];

  auto open_decoder = [](AVStream* stream) {
    const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContextPtr ctx(avcodec.avcodec_alloc_context3(codec));
    avcodec.avcodec_parameters_to_context(ctx.get(), stream->codecpar);
    ctx->pkt_timebase = stream->time_base;
    if (avcodec.avcodec_open2(ctx.get(), codec, nullptr) < 0) ctx.reset();
    return ctx;
  };
  AVCodecContextPtr vdec = open_decoder(vin);
  AVCodecContextPtr adec = open_decoder(ain);
  if (!vdec || !adec) return Fail(error, "cannot open the decoders");

  if (avformat.avformat_alloc_output_context2(&out_, nullptr, nullptr, output.c_str()) < 0)
    return Fail(error, "cannot make the output");
  AVFormatContextPtr out_owner(out_);

  const AVCodec* vcodec = avcodec.avcodec_find_encoder_by_name("mpeg4");
  AVCodecContextPtr venc(avcodec.avcodec_alloc_context3(vcodec));
  venc->width = vdec->width;
  venc->height = vdec->height;
  venc->pix_fmt = AV_PIX_FMT_YUV420P;
  AVRational rate = vin->avg_frame_rate.num > 0 ? vin->avg_frame_rate : AVRational{25, 1};
  venc->time_base = av_inv_q(rate);
  venc->framerate = rate;
  venc->bit_rate = kVideoBitRate;
  venc->sample_aspect_ratio = vdec->sample_aspect_ratio;
  const AVCodec* acodec = avcodec.avcodec_find_encoder_by_name("aac");
  AVCodecContextPtr aenc(avcodec.avcodec_alloc_context3(acodec));
  aenc->sample_rate = adec->sample_rate;
  avutil.av_channel_layout_copy(&aenc->ch_layout, &adec->ch_layout);
  aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  aenc->time_base = AVRational{1, adec->sample_rate};
  aenc->bit_rate = kAudioBitRate;
  if (out_->oformat->flags & AVFMT_GLOBALHEADER) {
    venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (avcodec.avcodec_open2(venc.get(), vcodec, nullptr) < 0 ||
      avcodec.avcodec_open2(aenc.get(), acodec, nullptr) < 0)
    return Fail(error, "cannot open the encoders");
  AVStream* vout = avformat.avformat_new_stream(out_, nullptr);
  AVStream* aout = avformat.avformat_new_stream(out_, nullptr);
  avcodec.avcodec_parameters_from_context(vout->codecpar, venc.get());
  avcodec.avcodec_parameters_from_context(aout->codecpar, aenc.get());
  vout->time_base = venc->time_base;
  aout->time_base = aenc->time_base;
  if (avformat.avio_open(&out_->pb, output.c_str(), AVIO_FLAG_WRITE) < 0)
    return Fail(error, "cannot write " + output);
  if (avformat.avformat_write_header(out_, nullptr) < 0) return Fail(error, "header failed");

  SwrContext* swr_raw = nullptr;
  swresample.swr_alloc_set_opts2(&swr_raw, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate,
                                 &adec->ch_layout, adec->sample_fmt, adec->sample_rate, 0,
                                 nullptr);
  SwrContextPtr swr(swr_raw);
  swresample.swr_init(swr.get());
  AVAudioFifoPtr fifo(avutil.av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels,
                                                 aenc->frame_size * 4));
  SwsContextPtr sws;
  AVFramePtr decoded(avutil.av_frame_alloc());
  AVFramePtr picture(avutil.av_frame_alloc());
  AVFramePtr samples(avutil.av_frame_alloc());
  int64_t next_video = 0;
  int64_t next_audio = 0;
  std::vector<uint8_t*> planes(aenc->ch_layout.nb_channels);

  auto push_audio = [&](bool last) {
    while (avutil.av_audio_fifo_size(fifo.get()) >= (last ? 1 : aenc->frame_size)) {
      int n = std::min(avutil.av_audio_fifo_size(fifo.get()), aenc->frame_size);
      avutil.av_frame_unref(samples.get());
      samples->nb_samples = n;
      samples->format = aenc->sample_fmt;
      samples->sample_rate = aenc->sample_rate;
      avutil.av_channel_layout_copy(&samples->ch_layout, &aenc->ch_layout);
      avutil.av_frame_get_buffer(samples.get(), 0);
      avutil.av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(samples->data), n);
      samples->pts = next_audio;
      next_audio += n;
      Write(aenc.get(), aout, samples.get());
    }
  };
  auto handle = [&](AVCodecContext* dec, AVStream* stream) {
    while (avcodec.avcodec_receive_frame(dec, decoded.get()) == 0) {
      const int64_t ts = avutil.av_rescale_q(decoded->best_effort_timestamp, stream->time_base,
                                             AV_TIME_BASE_Q);
      if (ts < kSegmentUs) {
        if (dec == vdec.get()) {
          if (decoded->format != venc->pix_fmt) {
            sws.reset(swscale.sws_getCachedContext(
                sws.release(), decoded->width, decoded->height,
                static_cast<AVPixelFormat>(decoded->format), venc->width, venc->height,
                venc->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
            avutil.av_frame_unref(picture.get());
            picture->format = venc->pix_fmt;
            picture->width = venc->width;
            picture->height = venc->height;
            avutil.av_frame_get_buffer(picture.get(), 0);
            swscale.sws_scale(sws.get(), decoded->data, decoded->linesize, 0, decoded->height,
                              picture->data, picture->linesize);
            picture->pts = next_video++;
            Write(venc.get(), vout, picture.get());
          } else {
            decoded->pts = next_video++;
            decoded->pict_type = AV_PICTURE_TYPE_NONE;
            Write(venc.get(), vout, decoded.get());
          }
        } else {
          int out_samples = swresample.swr_get_out_samples(swr.get(), decoded->nb_samples);
          AVFramePtr converted(avutil.av_frame_alloc());
          converted->nb_samples = out_samples;
          converted->format = aenc->sample_fmt;
          avutil.av_channel_layout_copy(&converted->ch_layout, &aenc->ch_layout);
          avutil.av_frame_get_buffer(converted.get(), 0);
          int got = swresample.swr_convert(swr.get(), converted->data, out_samples,
                                           const_cast<const uint8_t**>(decoded->extended_data),
                                           decoded->nb_samples);
          if (got > 0)
            avutil.av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(converted->data),
                                       got);
          push_audio(false);
        }
      }
      avutil.av_frame_unref(decoded.get());
    }
  };

  AVPacket* packet = avcodec.av_packet_alloc();
  while (avformat.av_read_frame(in_, packet) >= 0) {
    const int64_t dts = packet->dts == AV_NOPTS_VALUE
                            ? 0
                            : avutil.av_rescale_q(packet->dts,
                                                  in_->streams[packet->stream_index]->time_base,
                                                  AV_TIME_BASE_Q);
    if (dts < kSegmentUs + 500000) {
      if (packet->stream_index == vi) {
        avcodec.avcodec_send_packet(vdec.get(), packet);
        handle(vdec.get(), vin);
      } else if (packet->stream_index == ai) {
        avcodec.avcodec_send_packet(adec.get(), packet);
        handle(adec.get(), ain);
      }
    }
    avcodec.av_packet_unref(packet);
  }
  avcodec.av_packet_free(&packet);
  avcodec.avcodec_send_packet(vdec.get(), nullptr);
  handle(vdec.get(), vin);
  avcodec.avcodec_send_packet(adec.get(), nullptr);
  handle(adec.get(), ain);
  push_audio(true);
  Write(venc.get(), vout, nullptr);
  Write(aenc.get(), aout, nullptr);
  avformat.av_write_trailer(out_);
  avformat.avio_closep(&out_->pb);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  if (!GetLoader().LoadLibraries(EngineLibraries)) {
    std::fprintf(stderr, "cannot load the libraries: %s\n", GetLoader().LastError().c_str());
    return 1;
  }
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const std::string clip = (folder / "kelvane-bench-720p.mp4").string();
  if (!std::filesystem::exists(clip)) {
    fixtures::TFixtureRecipe recipe;
    fixtures::FixturePreset("mp4-h264-aac", recipe);
    recipe.Width = 1280;
    recipe.Height = 720;
    recipe.Seconds = 32;
    recipe.GopSize = 50;
    std::string error;
    std::printf("making %s ...\n", clip.c_str());
    if (!fixtures::GenerateFixture(recipe, clip, &error)) {
      std::fprintf(stderr, "cannot make the clip: %s\n", error.c_str());
      return 1;
    }
  }
  const std::string engine_out = (folder / "kelvane-bench-engine.mp4").string();
  const std::string loop_out = (folder / "kelvane-bench-loop.mp4").string();

  std::string error;
  // One untimed pass each warms the caches and the libraries' tables.
  auto start = std::chrono::steady_clock::now();
  TMinimalLoop warm;
  if (!warm.Run(clip, loop_out, error)) {
    std::fprintf(stderr, "minimal loop failed: %s\n", error.c_str());
    return 1;
  }
  double best_engine = 1e9, best_loop = 1e9;
  for (int round = 0; round < 3; ++round) {
    start = std::chrono::steady_clock::now();
    if (!RunEngine(clip, engine_out, error)) {
      std::fprintf(stderr, "engine failed: %s\n", error.c_str());
      return 1;
    }
    best_engine = std::min(best_engine, Seconds(std::chrono::steady_clock::now() - start));
    start = std::chrono::steady_clock::now();
    TMinimalLoop loop;
    if (!loop.Run(clip, loop_out, error)) {
      std::fprintf(stderr, "minimal loop failed: %s\n", error.c_str());
      return 1;
    }
    best_loop = std::min(best_loop, Seconds(std::chrono::steady_clock::now() - start));
  }
  std::printf("segment: 30 s of 1280x720 H.264 + AAC -> MPEG-4 %d kbit/s + AAC %d kbit/s, MP4\n",
              kVideoBitRate / 1000, kAudioBitRate / 1000);
  std::printf("engine:       %.2f s (best of 3)\n", best_engine);
  std::printf("minimal loop: %.2f s (best of 3)\n", best_loop);
  std::printf("ratio engine / loop: %.3f\n", best_engine / best_loop);
  std::printf("output sizes: engine %lld bytes, loop %lld bytes\n",
              static_cast<long long>(std::filesystem::file_size(engine_out)),
              static_cast<long long>(std::filesystem::file_size(loop_out)));
  return 0;
}
