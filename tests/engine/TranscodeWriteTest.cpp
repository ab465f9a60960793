// Packet writing: the messages made from library error codes, and bitstream
// filters applied to every packet of a stream.
#include <cstdio>

#include "engine/core/Transcoder.h"
#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

TEST(TranscodeErrorText, EachCodeHasItsMessage) {
  struct TCase {
    int Code;
    const char* Text;
  } cases[] = {
      {AVERROR_DEMUXER_NOT_FOUND, "x: Unknown format"},
      {AVERROR_MUXER_NOT_FOUND, "x: Unknown format"},
      {AVERROR(EINVAL), "x: Error while parsing header"},
      {AVERROR_INVALIDDATA, "x: Error while parsing header"},
      {AVERROR(ENOMEM), "x: memory allocation error occurred"},
      {AVERROR(EIO),
       "x: I/O error occurred\r\nUsually that means that input file is truncated and/or "
       "corrupted."},
      {AVERROR(ENOENT), "x: no such file or directory"},
      {AVERROR(ENOSPC), "x: Error while opening file"},
      {AVERROR(EDOM),
       "x: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
       "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
       "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
  };
  for (const TCase& c : cases) EXPECT_EQ(ErrorText("x", c.Code), c.Text) << c.Code;
  EXPECT_STREQ(MediaTypeName(AVMEDIA_TYPE_VIDEO), "Video");
  EXPECT_STREQ(MediaTypeName(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
  EXPECT_STREQ(MediaTypeName(42), "Unknown");
}

using TranscodeWriteTest = TMediaTest;

// The first bytes of every video packet of a file.
std::vector<std::vector<uint8_t>> PacketHeads(const std::string& path) {
  std::vector<std::vector<uint8_t>> heads;
  AVFormatContext* ctx = nullptr;
  if (avformat.avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return heads;
  avformat.avformat_find_stream_info(ctx, nullptr);
  const int video = avformat.av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVPacket* packet = avcodec.av_packet_alloc();
  while (avformat.av_read_frame(ctx, packet) >= 0) {
    if (packet->stream_index == video && packet->size >= 4)
      heads.emplace_back(packet->data, packet->data + 4);
    avcodec.av_packet_unref(packet);
  }
  avcodec.av_packet_free(&packet);
  avformat.avformat_close_input(&ctx);
  return heads;
}

TEST_F(TranscodeWriteTest, BitstreamFilterRewritesEveryCopiedPacket) {
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 2000, "copy", "copy");
  options.ExtOptions = "vbsf=h264_mp4toannexb";
  // NUT keeps packets as they are given, so the filter's work shows.
  const std::string out = temp_.File("annexb.nut");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  ASSERT_FALSE(converter.Terminates().empty());
  ASSERT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
  const auto heads = PacketHeads(out);
  ASSERT_GE(heads.size(), 40u);
  for (const auto& head : heads) {
    // Annex B start codes instead of length prefixes.
    EXPECT_TRUE((head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 1) ||
                (head[0] == 0 && head[1] == 0 && head[2] == 1));
  }
  const auto source = PacketHeads(RunMedia().Mp4);
  ASSERT_FALSE(source.empty());
  EXPECT_FALSE(source[0][0] == 0 && source[0][1] == 0 && source[0][2] == 0 && source[0][3] == 1);
}

// A SubRip file with three cues, 1 s apart.
std::string WriteSubRip(const TTempDir& dir) {
  const std::string path = dir.File("in.srt");
  std::FILE* file = std::fopen(path.c_str(), "w");
  std::fputs(
      "1\n00:00:01,000 --> 00:00:01,500\nfirst\n\n"
      "2\n00:00:02,000 --> 00:00:02,500\nsecond\n\n"
      "3\n00:00:03,000 --> 00:00:03,500\nthird\n\n",
      file);
  std::fclose(file);
  return path;
}

TEST_F(TranscodeWriteTest, SubtitlesAreReencodedOrCopiedFromTheStartTime) {
  const std::string input = WriteSubRip(temp_);
  for (const char* codec : {"subrip", "copy"}) {
    SCOPED_TRACE(codec);
    TRecordingConverter converter;
    ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(1500, 0, "", "");
    options.DisableVideo = true;
    options.DisableAudio = true;
    options.SubtitleCodec = codec;
    const std::string out = temp_.File(std::string("subtitles-") + codec + ".mkv");
    ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
    converter.Start(0);
    ASSERT_FALSE(converter.Terminates().empty());
    ASSERT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
    fixtures::TMediaFacts facts = ReadFactsOrFail(out);
    const fixtures::TStreamFacts* subtitles = facts.FirstOf(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_NE(subtitles, nullptr);
    EXPECT_EQ(subtitles->CodecName, "subrip");
    // The cue at 1 s lies before the start time; the other two follow it.
    EXPECT_EQ(subtitles->PacketCount, 2);
  }
}

}  // namespace
}  // namespace kelvane::test
