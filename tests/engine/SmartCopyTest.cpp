// A smart copy ("-vcodec copy -acodec copy" with "smart_copy=1") cuts exactly
// at the marks: the pictures of the cut and no others, the groups of pictures
// inside it copied so that they decode to the source's very pictures, the
// edges re-encoded, one stream that decodes without an error, and the sound
// beside the pictures. Marks on key frames re-encode nothing; a source the
// encoder cannot match is re-encoded whole, saying why.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "binding/AVPtr.h"
#include "binding/FFmpegLogger.h"
#include "engine/core/SmartCut.h"
#include "tests/engine/RunTestSupport.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::test {
namespace {

// The least an edge picture gets against the source's (luma PSNR, dB): the
// edges of one-pass rate control, with no history to start from, fell to 28.
constexpr double kEdgeFloorDb = 40;

// What decoding a file's video shows: each picture's index and a digest of
// its planes, in presentation order, and what went wrong on the way.
struct TPictures {
  std::vector<int> Indices;
  std::vector<uint64_t> Digests;
  std::vector<int64_t> TimesUs;  // from the file's start
  std::vector<std::vector<uint8_t>> Lumas;  // each picture's luma plane, rows packed
  int DecodeErrors = 0;
  bool TimesIncrease = true;  // decoding times strictly, presentation times never repeat
};

std::vector<uint8_t> Luma(const AVFrame* frame) {
  const int bytes = frame->format == AV_PIX_FMT_YUV420P ? 1 : 2;
  std::vector<uint8_t> plane;
  for (int y = 0; y < frame->height; ++y)
    plane.insert(plane.end(), frame->data[0] + y * frame->linesize[0],
                 frame->data[0] + y * frame->linesize[0] + frame->width * bytes);
  return plane;
}

// The peak signal-to-noise ratio of two 8-bit luma planes (dB; 99 when equal).
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double squares = 0;
  for (size_t i = 0; i < a.size(); ++i) squares += double(a[i] - b[i]) * (a[i] - b[i]);
  return squares == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / squares);
}

uint64_t Digest(const AVFrame* frame) {
  uint64_t hash = 1469598103934665603ull;
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  for (int plane = 0; plane < 3 && frame->data[plane] != nullptr; ++plane) {
    const int w = plane == 0 ? frame->width : AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w);
    const int h = plane == 0 ? frame->height : AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        hash = (hash ^ frame->data[plane][y * frame->linesize[plane] + x]) * 1099511628211ull;
  }
  return hash;
}

TPictures ReadPictures(const std::string& path) {
  TPictures seen;
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return seen;
  }
  std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter> input(raw);
  avformat.avformat_find_stream_info(raw, nullptr);
  const int index = avformat.av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return seen;
  const AVCodecParameters* par = raw->streams[index]->codecpar;
  AVCodecContextPtr dec(avcodec.avcodec_alloc_context3(avcodec.avcodec_find_decoder(par->codec_id)));
  avcodec.avcodec_parameters_to_context(dec.get(), par);
  dec->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    EXPECT_GE(avcodec.avcodec_open2(dec.get(), dec->codec, nullptr), 0);
  }
  std::map<int64_t, int> pts_seen;
  int64_t last_dts = INT64_MIN;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  std::vector<std::pair<int64_t, std::pair<int, uint64_t>>> pictures;
  std::map<int64_t, std::vector<uint8_t>> lumas;
  auto receive = [&] {
    for (;;) {
      const int ret = avcodec.avcodec_receive_frame(dec.get(), frame.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
      if (ret < 0) {
        ++seen.DecodeErrors;
        break;
      }
      if (frame->decode_error_flags != 0) ++seen.DecodeErrors;
      pictures.push_back({frame->best_effort_timestamp,
                          {fixtures::ReadFrameIndex(frame.get()), Digest(frame.get())}});
      lumas[frame->best_effort_timestamp] = Luma(frame.get());
      avutil.av_frame_unref(frame.get());
    }
  };
  while (avformat.av_read_frame(raw, packet.get()) >= 0) {
    if (packet->stream_index == index) {
      if (packet->dts != AV_NOPTS_VALUE) {
        if (packet->dts <= last_dts) seen.TimesIncrease = false;
        last_dts = packet->dts;
      }
      if (packet->pts != AV_NOPTS_VALUE && pts_seen[packet->pts]++ > 0) seen.TimesIncrease = false;
      if (avcodec.avcodec_send_packet(dec.get(), packet.get()) < 0) ++seen.DecodeErrors;
      receive();
    }
    avcodec.av_packet_unref(packet.get());
  }
  avcodec.avcodec_send_packet(dec.get(), nullptr);
  receive();
  std::stable_sort(pictures.begin(), pictures.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const AVRational tb = raw->streams[index]->time_base;
  const int64_t file_start = raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0;
  for (const auto& p : pictures) {
    seen.TimesUs.push_back(avutil.av_rescale_q(p.first, tb, AV_TIME_BASE_Q) - file_start);
    seen.Indices.push_back(p.second.first);
    seen.Digests.push_back(p.second.second);
    seen.Lumas.push_back(lumas[p.first]);
  }
  return seen;
}

struct TSmartCase {
  const char* Name;
  const char* Preset;
  const char* Extension;
  const char* PixelFormat = nullptr;  // H.265 in this picture format
  int MaxBFrames = -1;
  const char* Encoder = nullptr;  // the source's pictures made by this encoder
};

class SmartCopyTest : public TMediaTest, public testing::WithParamInterface<TSmartCase> {
 protected:
  // Cuts `input` from `start_ms` for `length_ms` into `output` with a smart
  // copy; returns what the run says it did.
  TCutReport Cut(const std::string& input, const std::string& output, int start_ms,
                 int length_ms, const std::string& more_options = {}) {
    TRecordingConverter converter;
    EXPECT_EQ(converter.AddTask(input), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(start_ms, length_ms, "copy", "copy");
    options.ExtOptions = "smart_copy=1" + more_options;
    EXPECT_TRUE(converter.SetOutput(0, output, &options)) << converter.LastError();
    std::string message = "no end event";
    converter.OnTerminate = [&](int32_t task, bool finished, bool exception,
                                const std::string& text) {
      if (task >= 0) message = finished && !exception ? "" : text;
    };
    converter.Start(0);
    const TCutReport report = converter.Task(0)->CutReport;
    converter.ClearTasks();
    converter.OnTerminate = nullptr;
    EXPECT_EQ(message, "");
    return report;
  }

  std::string Source(const char* preset, const char* extension,
                     const char* hevc_format = nullptr, int max_b_frames = -1,
                     const char* encoder = nullptr) {
    return MakeFixture(temp_, preset, std::string("in.") + extension, [&](auto& r) {
      r.MaxBFrames = max_b_frames;
      if (encoder != nullptr) r.VideoCodec = encoder;
      if (hevc_format != nullptr) {
        r.VideoCodec = "libx265";
        r.PixelFormat = hevc_format;
        r.IdrKeyFrames = true;
      }
      // Matroska keeps its preset's Vorbis, whose last block decodes past
      // the end its packets give: discard padding ends it with the pictures.
      r.Seconds = 4.0;
      r.GopSize = 25;
      r.TickEveryFrames = 25;
      r.TickFirstFrame = 5;
    });
  }
};

TEST_P(SmartCopyTest, CutsExactlyCopyingTheMiddle) {
  const TSmartCase& c = GetParam();
  const std::string input = Source(c.Preset, c.Extension, c.PixelFormat, c.MaxBFrames, c.Encoder);
  const TPictures source = ReadPictures(input);
  ASSERT_EQ(source.Indices.size(), 100u);

  // 0.70 s .. 3.30 s of the file (key frames every second).
  std::vector<int> wanted;
  for (size_t i = 0; i < source.TimesUs.size(); ++i)
    if (source.TimesUs[i] >= 700000 && source.TimesUs[i] < 3300000) wanted.push_back(int(i));
  ASSERT_EQ(wanted.size(), 65u);
  const int first = wanted.front();
  const std::string out = temp_.File(std::string("cut.") + c.Extension);
  const TCutReport report = Cut(input, out, 700, 2600);
  EXPECT_EQ(report.Method, "smart") << report.Reason;
  // The head (up to key frame 25) is re-encoded; the tail (from key frame
  // 75) too unless its pictures are the first ones of their group decoded.
  EXPECT_GE(report.CopiedPictures, 50);
  EXPECT_GE(report.EncodedPictures, 25 - first);
  EXPECT_EQ(report.CopiedPictures + report.EncodedPictures, 65);
  // What the window says beforehand: the head up to key frame 25;
  // VP9's pictures come in the order shown, and the MPEG sources' pictures
  // before the end mark are the first ones of their group decoded, so
  // nothing at the tail waits.
  const TSmartCutForecast forecast =
      ForecastSmartCut(input, std::string("cut.") + c.Extension, 700000, 3300000);
  EXPECT_EQ(forecast.WholeReason, "");
  EXPECT_NEAR(forecast.HeadSeconds, (source.TimesUs[25] - 700000) / 1e6, 0.002);
  if (c.Encoder != nullptr) {
    EXPECT_EQ(forecast.TailSeconds, 0);
    EXPECT_EQ(report.EncodedPictures, 25 - first);
  }

  const TPictures cut = ReadPictures(out);
  EXPECT_EQ(cut.DecodeErrors, 0);
  // The copied pictures are the source's packets, byte for byte.
  const TCopyProof proof = ProveCopiedPackets(input, out, 700000, 3300000);
  EXPECT_EQ(proof.Problem, "");
  EXPECT_EQ(proof.Identical, report.CopiedPictures);
  EXPECT_EQ(proof.OutputPackets, 65);
  // H.265 in MP4: the sample entry that lets the packets' parameter sets rule.
  if (c.PixelFormat != nullptr && std::string(c.Extension) == "mp4") {
    EXPECT_EQ(ReadFactsOrFail(out).FirstOf(AVMEDIA_TYPE_VIDEO)->CodecTag, "hev1");
  }
  EXPECT_TRUE(cut.TimesIncrease);
  ASSERT_EQ(cut.Indices.size(), 65u) << DescribeIndices(cut.Indices);
  for (size_t i = 0; i < cut.Indices.size(); ++i) EXPECT_EQ(cut.Indices[i], first + int(i));
  for (int f = 25; f < 75; ++f)
    EXPECT_EQ(cut.Digests[f - first], source.Digests[f]) << "picture " << f << " is not the source's";

  // The sound stays beside the pictures as in the source, and begins and
  // ends with them.
  TMarkOffsets before, after;
  ASSERT_TRUE(MeasureMarkOffsets(input, 25, 5, 40000, before));
  ASSERT_TRUE(MeasureMarkOffsets(out, 25, 5, 40000, after));
  ASSERT_GE(after.OffsetsUs.size(), 2u);
  EXPECT_LE(std::abs(after.First() - before.First()), 5000);
  EXPECT_LE(std::abs(after.Last() - before.Last()), 5000);
  const TSplitResult facts = Inspect(out);
  fixtures::TAudioFacts sound;
  ASSERT_TRUE(fixtures::DecodeAudio(out, sound));
  const int64_t sound_end = sound.StartUs + sound.Samples * 1000000 / sound.SampleRate;
  EXPECT_LE(std::abs(sound.StartUs - facts.VideoStartUs), 5000);
  EXPECT_LE(std::abs(sound_end - (facts.VideoStartUs + 65 * 40000)), 5000);

  // Marks on key frames: everything copied.
  const std::string keys = temp_.File(std::string("keys.") + c.Extension);
  const int64_t key_ms = source.TimesUs[25] / 1000;
  const TCutReport copied = Cut(input, keys, int(key_ms), 2000);
  EXPECT_EQ(copied.Method, "copy");
  EXPECT_EQ(copied.EncodedPictures, 0);
  const TPictures whole = ReadPictures(keys);
  ASSERT_EQ(whole.Indices.size(), 50u) << DescribeIndices(whole.Indices);
  EXPECT_EQ(whole.Indices.front(), 25);
  EXPECT_EQ(whole.Digests.back(), source.Digests[74]);

  // Marks inside one group: its pictures between them, re-encoded.
  const std::string inside = temp_.File(std::string("inside.") + c.Extension);
  const TCutReport within = Cut(input, inside, int(key_ms) + 200, 400);
  EXPECT_EQ(within.Method, "re-encode");
  EXPECT_NE(within.Reason.find("within one group"), std::string::npos) << within.Reason;
  const TPictures few = ReadPictures(inside);
  EXPECT_EQ(few.DecodeErrors, 0);
  ASSERT_EQ(few.Indices.size(), 10u) << DescribeIndices(few.Indices);
  EXPECT_EQ(few.Indices.front(), 30);
}

INSTANTIATE_TEST_SUITE_P(Containers, SmartCopyTest,
                         testing::Values(TSmartCase{"mp4", "mp4-h264-aac", "mp4"},
                                         TSmartCase{"mp4_no_b_frames", "mp4-h264-aac", "mp4",
                                                    nullptr, 0},
                                         TSmartCase{"mkv", "mkv-h264-vorbis", "mkv"},
                                         TSmartCase{"ts", "ts-h264-aac", "ts"},
                                         TSmartCase{"ts_hevc", "ts-h264-aac", "ts", "yuv420p"},
                                         TSmartCase{"ts_hevc10", "ts-h264-aac", "ts",
                                                    "yuv420p10le"},
                                         TSmartCase{"mp4_hevc", "mp4-h264-aac", "mp4", "yuv420p"},
                                         TSmartCase{"mp4_hevc10", "mp4-h264-aac", "mp4",
                                                    "yuv420p10le"},
                                         TSmartCase{"mkv_hevc10", "mkv-h264-vorbis", "mkv",
                                                    "yuv420p10le"},
                                         TSmartCase{"mkv_vp9", "mkv-h264-vorbis", "mkv", nullptr,
                                                    -1, "libvpx-vp9"},
                                         TSmartCase{"webm_vp9", "webm-vp8-opus", "webm", nullptr,
                                                    -1, "libvpx-vp9"},
                                         TSmartCase{"ts_mpeg2_b_frames", "ts-h264-aac", "ts",
                                                    nullptr, 2, "mpeg2video"},
                                         TSmartCase{"mkv_mpeg2", "mkv-h264-vorbis", "mkv", nullptr,
                                                    -1, "mpeg2video"},
                                         TSmartCase{"mp4_mpeg4", "mp4-h264-aac", "mp4", nullptr,
                                                    -1, "mpeg4"},
                                         TSmartCase{"mkv_mpeg4", "mkv-h264-vorbis", "mkv", nullptr,
                                                    -1, "mpeg4"},
                                         // AV1 as today's formats make it.
                                         TSmartCase{"webm_av1", "webm-vp8-opus", "webm", nullptr,
                                                    -1, "libsvtav1"},
                                         TSmartCase{"mp4_av1", "mp4-h264-aac", "mp4", nullptr, -1,
                                                    "libsvtav1"},
                                         // libaom's AV1, its edges coded by libaom.
                                         TSmartCase{"mkv_av1_aom", "mkv-h264-vorbis", "mkv",
                                                    nullptr, -1, "libaom-av1"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// The re-encoded edges look like the source's pictures around them: a source
// of few bits (simple pictures) cut between key frames, its edges' pictures
// at full size against the source's own.
TEST_F(SmartCopyTest, EdgesKeepTheSourcesQuality) {
  for (const TSmartCase& c : {TSmartCase{"h264", "mp4-h264-aac", "mp4"},
                              TSmartCase{"hevc", "mp4-h264-aac", "mp4", "yuv420p"},
                              TSmartCase{"vp9", "webm-vp8-opus", "webm", nullptr, -1,
                                         "libvpx-vp9"},
                              TSmartCase{"mpeg2", "mkv-h264-vorbis", "mkv", nullptr, -1,
                                         "mpeg2video"},
                              TSmartCase{"av1", "webm-vp8-opus", "webm", nullptr, -1,
                                         "libsvtav1"}}) {
    SCOPED_TRACE(c.Name);
    const std::string input =
        Source(c.Preset, c.Extension, c.PixelFormat, c.MaxBFrames, c.Encoder);
    const std::string out = temp_.File(std::string("edges.") + c.Extension);
    const TCutReport report = Cut(input, out, 700, 2600);
    EXPECT_EQ(report.Method, "smart") << report.Reason;
    const TPictures source = ReadPictures(input), cut = ReadPictures(out);
    ASSERT_EQ(cut.Indices.size(), 65u) << DescribeIndices(cut.Indices);
    double worst = 99;
    for (size_t i = 0; i < cut.Indices.size(); ++i) {
      const int index = cut.Indices[i];
      ASSERT_TRUE(index >= 0 && index < int(source.Lumas.size()));
      worst = std::min(worst, Psnr(cut.Lumas[i], source.Lumas[index]));
    }
    EXPECT_GE(worst, kEdgeFloorDb);
  }
}

// The subtitle cues (start and length, µs from the file's start) of a file.
std::vector<std::pair<int64_t, int64_t>> ReadCues(const std::string& path) {
  std::vector<std::pair<int64_t, int64_t>> cues;
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return cues;
  std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter> input(raw);
  avformat.avformat_find_stream_info(raw, nullptr);
  const int64_t file_start = raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  while (avformat.av_read_frame(raw, packet.get()) >= 0) {
    const AVStream* stream = raw->streams[packet->stream_index];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
      cues.push_back({avutil.av_rescale_q(packet->pts, stream->time_base, AV_TIME_BASE_Q) - file_start,
                      avutil.av_rescale_q(packet->duration, stream->time_base, AV_TIME_BASE_Q)});
    avcodec.av_packet_unref(packet.get());
  }
  return cues;
}

// Subtitles keep their place against the pictures: a cue follows the cut's
// first picture, and one still showing at the start mark is kept from there.
TEST_F(SmartCopyTest, SubtitlesFollowTheFirstPicture) {
  const std::string input =
      MakeFixture(temp_, "mkv-h264-vorbis", "in.mkv", [](auto& r) {
        r.Seconds = 4.0;
        r.GopSize = 25;
        r.AudioCodec = "aac";
        r.Subtitles = true;
      });
  const std::string out = temp_.File("cut.mkv");
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(1300, 1800, "copy", "copy");
  options.SubtitleCodec = "copy";
  options.ExtOptions = "smart_copy=1";
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  EXPECT_EQ(converter.Task(0)->CutReport.Method, "smart");
  converter.ClearTasks();

  const TPictures source = ReadPictures(input), cut = ReadPictures(out);
  ASSERT_FALSE(cut.TimesUs.empty());
  const auto first = std::find_if(source.TimesUs.begin(), source.TimesUs.end(),
                                  [](int64_t t) { return t >= 1300000; });
  ASSERT_NE(first, source.TimesUs.end());
  // Cues of one second each from 1 s on: the one of 1 s shows from the first
  // picture; the last ends with the cut at 3.1 s.
  const std::vector<std::pair<int64_t, int64_t>> cues = ReadCues(out);
  ASSERT_EQ(cues.size(), 3u);
  const int64_t lead = *first - cut.TimesUs[0];  // source time of the output's picture time 0
  EXPECT_NEAR(cues[0].first + lead, *first, 1000);
  EXPECT_NEAR(cues[0].first + cues[0].second + lead, 2000000, 1000);
  EXPECT_NEAR(cues[1].first + lead, 2000000, 1000);
  EXPECT_NEAR(cues[2].first + lead, 3000000, 1000);
  EXPECT_NEAR(cues[2].first + cues[2].second + lead, 3100000, 1000);
}

// Sources the encoder cannot match, or whose key frames are no clean place to
// join, are re-encoded: with the same codec, exactly, and saying why.
TEST_F(SmartCopyTest, WhatCannotBeJoinedIsReencodedSayingWhy) {
  struct TCase {
    const char* Preset;
    const char* Extension;
    bool OpenGop;
    const char* Reason;
    bool Av1Grain = false;  // the source's pictures: libsvtav1's, with film grain
  };
  // A source re-encoded whole says with which settings: those given for its
  // encoder (the picture format and profile stay the source's), else the
  // encoder's finest fixed quantiser.
  const std::string settings =
      "\nsmart_reencode=libx264 preset=fast profile=high pix_fmt=yuv420p movflags=+faststart "
      "crf=18\nsmart_reencode=libx265 preset=fast x265-params=log-level=error crf=20"
      "\nsmart_reencode=libsvtav1 preset=8 crf=24";
  for (const TCase& c :
       {TCase{"mkv-ffv1-odd", "mkv", false, "this source is ffv1; re-encoded with ffv1 qscale=2"},
        TCase{"mp4-h264-aac", "mp4", true,
              "open groups of pictures); re-encoded with libx264 preset=fast crf=18"},
        TCase{"mp4-hevc10-aac", "mkv", false,
              "H.265 in matroska: the encoder's parameter sets cannot stand beside the source's "
              "(they share its ids), and the source does not name the x265 settings it was made "
              "with; re-encoded with libx265 preset=fast crf=20"},
        // AV1 with film grain, which neither AV1 encoder is asked to add.
        TCase{"webm-vp8-opus", "webm", false,
              "the encoder's sequence header differs from the source's (film grain); "
              "re-encoded with libsvtav1 preset=8 crf=24",
              true}}) {
    SCOPED_TRACE(c.Preset);
    const std::string input = MakeFixture(temp_, c.Preset, std::string("in.") + c.Extension,
                                          [&](auto& r) {
                                            r.Seconds = 4.0;
                                            r.GopSize = 25;
                                            r.OpenGop = c.OpenGop;
                                            // An H.265 source that does not name its settings.
                                            r.X265Info = false;
                                            if (c.Av1Grain) {
                                              r.VideoCodec = "libsvtav1";
                                              r.VideoOptions["svtav1-params"] = "film-grain=8";
                                            }
                                            if (std::string(c.Extension) == "mkv")
                                              r.Container = "matroska";
                                          });
    const TPictures source = ReadPictures(input);
    std::vector<int> wanted;
    for (size_t i = 0; i < source.TimesUs.size(); ++i)
      if (source.TimesUs[i] >= 700000 && source.TimesUs[i] < 3300000) wanted.push_back(int(i));
    ASSERT_FALSE(wanted.empty());
    const std::string out = temp_.File(std::string("cut.") + c.Extension);
    const TCutReport report = Cut(input, out, 700, 2600, settings);
    EXPECT_EQ(report.Method, "re-encode");
    EXPECT_NE(report.Reason.find(c.Reason), std::string::npos) << report.Reason;
    EXPECT_EQ(report.CopiedPictures, 0);
    // The window said so beforehand, for the same reason.
    const std::string said =
        ForecastSmartCut(input, std::string("cut.") + c.Extension, 700000, 3300000).WholeReason;
    EXPECT_FALSE(said.empty());
    EXPECT_EQ(report.Reason.rfind(said, 0), 0u) << said;
    const TPictures cut = ReadPictures(out);
    EXPECT_EQ(cut.DecodeErrors, 0);
    ASSERT_EQ(cut.Indices.size(), wanted.size()) << DescribeIndices(cut.Indices);
    EXPECT_EQ(cut.Indices.front(), wanted.front());
    EXPECT_EQ(cut.Indices.back(), wanted.back());
    const fixtures::TMediaFacts in_facts = ReadFactsOrFail(input);
    const fixtures::TMediaFacts out_facts = ReadFactsOrFail(out);
    ASSERT_NE(out_facts.FirstOf(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(out_facts.FirstOf(AVMEDIA_TYPE_VIDEO)->CodecName,
              in_facts.FirstOf(AVMEDIA_TYPE_VIDEO)->CodecName);
    EXPECT_EQ(out_facts.FirstOf(AVMEDIA_TYPE_VIDEO)->PixelFormat,
              in_facts.FirstOf(AVMEDIA_TYPE_VIDEO)->PixelFormat);
  }
}

}  // namespace
}  // namespace kelvane::test
