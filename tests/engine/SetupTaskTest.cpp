// Task set-up through the component: AddTask and SetOutput with their records,
// opening inputs, adding outputs and creating streams.
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "binding/OptionDefaults.h"
#include "binding/UnicodeProtocol.h"
#include "engine/FFConverter.h"
#include "tests/engine/SetupTestMedia.h"

namespace kelvane::test {
namespace {

class SetupTaskTest : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    media_ = &SetupMedia();
  }
  // A task over the 640x480 input; fails the test when it cannot be added.
  TFFmpeg& AddVideoTask(const TInputOptions* options = nullptr) {
    int32_t index = converter_.AddTask(media_->Video640, options);
    EXPECT_EQ(index, converter_.TaskCount() - 1) << converter_.LastError();
    return *converter_.Task(index < 0 ? 0 : index);
  }
  TOutputOptions Mp4Options() {
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.AudioCodec = "mp2";
    return options;
  }

  const TSetupMedia* media_ = nullptr;
  TFFConverter converter_;
};

TEST_F(SetupTaskTest, AddTaskFailuresLeaveTheListUnchanged) {
  ASSERT_GE(converter_.AddTask(media_->Video640), 0);
  const std::string missing = temp_.File("missing.mp4");
  EXPECT_EQ(converter_.AddTask(missing), -1);
  EXPECT_EQ(converter_.LastError(), missing + ": no such file or directory");
  EXPECT_EQ(converter_.TaskCount(), 1);

  EXPECT_EQ(converter_.AddTask(media_->NotMedia), -1);
  EXPECT_EQ(converter_.LastError(), media_->NotMedia + ": Unknown format");
  EXPECT_EQ(converter_.TaskCount(), 1);

  TInputOptions forced;
  forced.FileFormat = "nonsense";
  EXPECT_EQ(converter_.AddTask(media_->Video640, &forced), -1);
  EXPECT_EQ(converter_.LastError(), "Unknown input format: nonsense");
  EXPECT_EQ(converter_.TaskCount(), 1);

  TInputOptions bad_line;
  bad_line.ExtOptions = "s=641x480";
  EXPECT_EQ(converter_.AddTask(media_->Video640, &bad_line), -1);
  EXPECT_EQ(converter_.LastError(), "Frame size must be a multiple of 2");

  TInputOptions bad_decoder;
  bad_decoder.ExtOptions = "vcodec=nosuchcodec";
  EXPECT_EQ(converter_.AddTask(media_->Video640, &bad_decoder), -1);
  EXPECT_EQ(converter_.LastError(), "Unknown decoder 'nosuchcodec'");
  bad_decoder.ExtOptions = "acodec=h264";
  EXPECT_EQ(converter_.AddTask(media_->Video640, &bad_decoder), -1);
  EXPECT_EQ(converter_.LastError(), "Invalid decoder type 'h264'");
  EXPECT_EQ(converter_.TaskCount(), 1);

  converter_.ClearTasks();
  EXPECT_EQ(converter_.TaskCount(), 0);
  EXPECT_EQ(converter_.LastError(), "");
}

TEST_F(SetupTaskTest, OpenedInputSetsThePendingPictureAndDuration) {
  TInputOptions options;
  TFFmpeg& task = AddVideoTask(&options);
  EXPECT_EQ(task.InputOptions.FileName, media_->Video640);  // filled in from the argument
  EXPECT_EQ(task.Pending.frame_width, 640);
  EXPECT_EQ(task.Pending.frame_height, 480);
  EXPECT_EQ(task.Pending.frame_rate.num, 25);
  EXPECT_EQ(task.Pending.frame_rate.den, 1);
  EXPECT_FLOAT_EQ(task.Pending.frame_aspect_ratio, 4.0f / 3.0f);
  EXPECT_NEAR(task.TotalOutputDuration, 2000, 60);
  ASSERT_EQ(task.InputFiles.size(), 1u);
  for (const TInputStream& in : task.InputFiles[0]->streams) {
    ASSERT_NE(in.decoder_context, nullptr);
    EXPECT_EQ(in.decoder_context->codec_id, in.stream->codecpar->codec_id);
  }
  EXPECT_TRUE(task.Pending.codec_name[skVideo].empty());  // consumed
}

TEST_F(SetupTaskTest, CropIsCheckedAgainstTheOpenedInput) {
  TFFmpeg& task = AddVideoTask();
  try {
    task.SetOption("croptop", "480");
    ADD_FAILURE() << "croptop=480 accepted";
  } catch (const FFmpegException& error) {
    EXPECT_STREQ(error.what(),
                 "Vertical crop dimensions are outside the range of the original image.\n"
                 "Remember to crop first and scale second.");
  }
  task.SetOption("croptop", "10");
  EXPECT_EQ(task.Pending.frame_height, 470);
  EXPECT_EQ(task.Settings.crop_top, 10);
  EXPECT_THROW(task.SetOption("cropright", "640"), FFmpegException);
  task.SetOption("cropright", "40");
  EXPECT_EQ(task.Pending.frame_width, 600);
}

TEST_F(SetupTaskTest, StartTimeSeeksTheInputOrStaysForTheOutput) {
  TInputOptions input;
  input.StartTime = 1500;
  TFFmpeg& task = AddVideoTask(&input);
  EXPECT_EQ(task.Settings.start_time, 0);
  // The input was sought to the key frame before 1.5 s (one a second), and
  // its timestamps are shifted so that the start point becomes 0.
  AVFormatContext* ic = task.InputFiles[0]->context.Get();
  AVPacketPtr packet(avcodec.av_packet_alloc());
  int64_t first_video_us = -1;
  while (first_video_us < 0 && avformat.av_read_frame(ic, packet.get()) >= 0) {
    AVStream* st = ic->streams[packet->stream_index];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && packet->pts != AV_NOPTS_VALUE) {
      first_video_us = avutil.av_rescale_q(packet->pts, st->time_base, AVRational{1, 1000000});
    }
    avcodec.av_packet_unref(packet.get());
  }
  EXPECT_GE(first_video_us, 900000);
  EXPECT_LE(first_video_us, 1500000);
  int64_t start = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
  EXPECT_EQ(task.InputFiles[0]->ts_offset, -(1500000 + start));
  TOutputOptions output = Mp4Options();
  output.StartTime = 1500;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &output)) << converter_.LastError();
  EXPECT_EQ(task.Settings.start_time, 1500000);
}

TEST_F(SetupTaskTest, SetOutputFailuresKeepTheTask) {
  struct TCase {
    std::function<void(TOutputOptions&)> fill;
    std::string file;
    std::string message;
  };
  const std::string unknown = temp_.File("out.unknownext");
  const TCase cases[] = {
      {[](TOutputOptions& o) { o.FrameSize = "641x480"; }, "a.mp4",
       "Frame size must be a multiple of 2"},
      {[](TOutputOptions&) {}, "", "Unable to find a suitable output format for '" + unknown + "'"},
      {[](TOutputOptions& o) {
         o.CropTop = 10;
         o.VideoFilters = "hflip";
       },
       "b.mp4", "Cannot enable crop options and filters at the same time."},
      {[](TOutputOptions& o) {
         o.PadTop = 20;
         o.VideoFilters = "scale=320:240";
       },
       "c.mp4",
       "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
       "rotate, scale, transpose, etc.)"},
      {[](TOutputOptions& o) { o.FileFormat = "nonsense"; }, "d.mp4",
       "Unknown output format: nonsense"},
      {[](TOutputOptions& o) { o.VideoCodec = "nosuchcodec"; }, "e.mp4",
       "new_video_stream fail: Unknown encoder 'nosuchcodec'"},
      {[](TOutputOptions& o) { o.AudioCodec = "mpeg4"; }, "f.mp4",
       "new_audio_stream fail: Invalid encoder type 'mpeg4'"},
      {[](TOutputOptions& o) { o.VideoPreset = "missing"; }, "g.mp4",
       "Preset \"mpeg4-missing\" not found"},
      {[](TOutputOptions& o) { o.ExtOptions = "threads=-2"; }, "h.mp4", "Incorrect thread count: -2"},
  };
  for (const TCase& c : cases) {
    converter_.ClearTasks();
    AddVideoTask();
    TOutputOptions options = Mp4Options();
    c.fill(options);
    std::string file = c.file.empty() ? unknown : temp_.File(c.file);
    EXPECT_FALSE(converter_.SetOutput(0, file, &options)) << c.message;
    EXPECT_EQ(converter_.LastError(), c.message);
    EXPECT_EQ(converter_.TaskCount(), 1);
  }
}

TEST_F(SetupTaskTest, PadsPassWithAFilterThatDoesNotResize) {
  AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.PadTop = 20;
  options.VideoFilters = "hflip,vflip";
  EXPECT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options)) << converter_.LastError();
  EXPECT_TRUE(converter_.Task(0)->Settings.filters_in_use);
}

TEST_F(SetupTaskTest, OutputStreamsTakeThePendingSettings) {
  TFFmpeg& task = AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.FrameSize = "320x240";
  options.FrameRate = "30000/1001";
  options.AudioSampleRate = 22050;
  options.AudioChannels = 1;
  options.VideoBitrate = 800000;
  options.AudioLanguage = "eng";
  options.Metadata.Title = "A title";
  options.Metadata.Year = 2009;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options)) << converter_.LastError();
  ASSERT_EQ(task.OutputFiles.size(), 1u);
  const TOutputFile& file = *task.OutputFiles[0];
  ASSERT_EQ(file.streams.size(), 2u);
  const AVCodecContext* video = file.streams[0].encoder_context.get();
  EXPECT_EQ(video->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 240);
  EXPECT_EQ(video->time_base.num, 1001);
  EXPECT_EQ(video->time_base.den, 30000);
  EXPECT_EQ(video->bit_rate, 800000);
  EXPECT_EQ(video->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(video->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // mp4 wants global headers
  const AVCodecContext* audio = file.streams[1].encoder_context.get();
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_MP2);
  EXPECT_EQ(audio->sample_rate, 22050);
  EXPECT_EQ(audio->ch_layout.nb_channels, 1);
  EXPECT_EQ(audio->sample_fmt, AV_SAMPLE_FMT_S16);
  const AVDictionaryEntry* language =
      avutil.av_dict_get(file.streams[1].stream->metadata, "language", nullptr, 0);
  ASSERT_NE(language, nullptr);
  EXPECT_STREQ(language->value, "eng");
  const AVDictionaryEntry* title = avutil.av_dict_get(file.context->metadata, "title", nullptr, 0);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title->value, "A title");
  EXPECT_NE(avutil.av_dict_get(file.context->metadata, "year", nullptr, 0), nullptr);
  EXPECT_TRUE(task.Pending.metadata.empty());
}

TEST_F(SetupTaskTest, LibraryFieldsReachEncoderAndMuxer) {
  TFFmpeg& task = AddVideoTask();
  TOutputOptions options;
  options.VideoCodec = "mpeg2video";
  options.AudioCodec = "mp2";
  options.GopSize = 12;
  options.VideoMaxRate = 9000000;
  options.VideoBufferSize = 1835008;
  options.AudioBitrate = 192000;
  options.MuxRate = 10080000;
  options.PacketSize = 2048;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mpg"), &options)) << converter_.LastError();
  const TOutputFile& file = *task.OutputFiles[0];
  const AVCodecContext* video = file.streams[0].encoder_context.get();
  EXPECT_EQ(video->gop_size, 12);
  EXPECT_EQ(video->rc_max_rate, 9000000);
  EXPECT_EQ(video->rc_buffer_size, 1835008);
  EXPECT_EQ(video->rc_initial_buffer_occupancy, 1835008 * 3 / 4);
  EXPECT_EQ(file.streams[1].encoder_context->bit_rate, 192000);
  EXPECT_EQ(file.context->packet_size, 2048u);
  int64_t muxrate = 0;
  ASSERT_GE(avutil.av_opt_get_int(file.context->priv_data, "muxrate", 0, &muxrate), 0);
  EXPECT_EQ(muxrate, 10080000 / 8 * 8);
}

TEST_F(SetupTaskTest, EncoderOwnOptionsReachTheEncoder) {
  TFFmpeg& task = AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.VideoCodec = "libx264";
  options.ExtOptions = "crf=31\npreset=veryfast";  // given before the codec is chosen
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options)) << converter_.LastError();
  const AVCodecContext* video = task.OutputFiles[0]->streams[0].encoder_context.get();
  ASSERT_NE(video->priv_data, nullptr);
  uint8_t* crf = nullptr;
  ASSERT_GE(avutil.av_opt_get(video->priv_data, "crf", 0, &crf), 0);
  EXPECT_DOUBLE_EQ(std::atof(reinterpret_cast<char*>(crf)), 31.0);
  avutil.av_free(crf);
  uint8_t* preset = nullptr;
  ASSERT_GE(avutil.av_opt_get(video->priv_data, "preset", 0, &preset), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(preset), "veryfast");
  avutil.av_free(preset);
}

TEST_F(SetupTaskTest, RecordingTimeGivesTheExpectedOutputDuration) {
  TFFmpeg& task = AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.RecordingTime = 10000;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options));
  EXPECT_EQ(task.TotalOutputDuration, 10000);
  EXPECT_EQ(task.Settings.recording_time, 10000000);

  converter_.ClearTasks();
  TFFmpeg& plain = AddVideoTask();
  options.RecordingTime = 0;  // equal marks: the input's duration stays
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out2.mp4"), &options));
  EXPECT_NEAR(plain.TotalOutputDuration, 2000, 60);
  EXPECT_EQ(plain.Settings.recording_time, INT64_MAX);
}

TEST_F(SetupTaskTest, JoinGivesTheSumOfTheInputDurations) {
  TFFmpeg& task = AddVideoTask();
  ASSERT_TRUE(task.OpenInput(media_->Video3s)) << task.LastError;
  TOutputOptions options = Mp4Options();
  options.Join = true;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("joined.mp4"), &options))
      << converter_.LastError();
  EXPECT_TRUE(task.Settings.join);
  int64_t sum = task.InputFiles[0]->duration_ms + task.InputFiles[1]->duration_ms;
  EXPECT_EQ(task.TotalOutputDuration, sum);
  EXPECT_NEAR(sum, 5000, 120);
  EXPECT_FALSE(converter_.SetOutput(0, temp_.File("second.mp4"), &options));
  EXPECT_EQ(converter_.LastError(), "Cannot join more than one output file.");
}

TEST_F(SetupTaskTest, AmrNbNamesAreServedBesideTheCodecLibrary) {
  ASSERT_EQ(converter_.AddTask(media_->AudioOnly), 0) << converter_.LastError();
  TOutputOptions options;
  options.AudioCodec = "libopencore_amrnb";
  options.AudioSampleRate = 8000;
  options.AudioChannels = 1;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.amr"), &options)) << converter_.LastError();
  const TOutputStream& stream = converter_.Task(0)->OutputFiles[0]->streams.at(0);
  EXPECT_EQ(stream.encoder_context->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(stream.encoder_context->sample_rate, 8000);
  EXPECT_TRUE(stream.encoder_named);
}

TEST_F(SetupTaskTest, AudioOnlyInputGetsNoVideoStream) {
  ASSERT_EQ(converter_.AddTask(media_->AudioOnly), 0) << converter_.LastError();
  TOutputOptions options = Mp4Options();
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options));
  const TOutputFile& file = *converter_.Task(0)->OutputFiles[0];
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].encoder_context->codec_type, AVMEDIA_TYPE_AUDIO);
}

TEST_F(SetupTaskTest, DisabledKindsAndNewStreamLines) {
  AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.DisableAudio = true;
  options.ExtOptions = "newaudio=";
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("out.mp4"), &options)) << converter_.LastError();
  const TOutputFile& file = *converter_.Task(0)->OutputFiles[0];
  // The record disabled audio for the output; the new-stream line adds one afterwards.
  ASSERT_EQ(file.streams.size(), 2u);
  EXPECT_EQ(file.streams[0].encoder_context->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(file.streams[1].encoder_context->codec_type, AVMEDIA_TYPE_AUDIO);
}

TEST_F(SetupTaskTest, HookRangesAreKeptSortedByTheirEnd) {
  TFFmpeg& task = AddVideoTask();
  task.SetHookRanges("5000-8000, 1000-2000, 9-3");
  ASSERT_EQ(task.HookRanges.size(), 2u);
  EXPECT_EQ(task.HookRanges[0].Start, 1000000);
  EXPECT_EQ(task.HookRanges[0].End, 2000000);
  EXPECT_EQ(task.HookRanges[1].Start, 5000000);
  EXPECT_EQ(task.HookRanges[1].End, 8000000);
  task.SetHookRanges("x-4000, 7-y, ");
  ASSERT_EQ(task.HookRanges.size(), 1u);  // "x" reads as -1; "y" makes an end of -1
  EXPECT_EQ(task.HookRanges[0].Start, -1000);
  EXPECT_EQ(task.HookRanges[0].End, 4000000);
}

TEST_F(SetupTaskTest, MetadataTimestampUsesTheStandardBias) {
  const char* saved = std::getenv("TZ");
  std::string saved_tz = saved ? saved : "";
  setenv("TZ", "XYZ-1", 1);  // one hour east of UTC: a bias of -60 minutes
  tzset();
  TFFmpeg& task = AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.Metadata.Timestamp = 25569.0;
  bool added = converter_.SetOutput(0, temp_.File("out.mp4"), &options);
  if (saved) setenv("TZ", saved_tz.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_TRUE(added) << converter_.LastError();
  EXPECT_EQ(task.Pending.recording_timestamp, -3600);
  const AVDictionaryEntry* created =
      avutil.av_dict_get(task.OutputFiles[0]->context->metadata, "creation_time", nullptr, 0);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->value, "1969-12-31T23:00:00.000000Z");
}

TEST_F(SetupTaskTest, WithoutOutputOptionsTheDefaultsApply) {
  TFFmpeg& task = AddVideoTask();
  task.OutputOptions.Join = true;
  ASSERT_TRUE(converter_.SetOutput(0, temp_.File("plain.mp4"), nullptr)) << converter_.LastError();
  EXPECT_FALSE(task.OutputOptions.Join);
  EXPECT_EQ(task.OutputFiles[0]->streams.size(), 2u);  // the format's default codecs
}

TEST_F(SetupTaskTest, TheInputIsNeverOpenedAsTheOutput) {
  const std::string input = temp_.File("input.mp4");
  std::filesystem::copy_file(media_->Video640, input);
  const auto size = std::filesystem::file_size(input);
  ASSERT_EQ(converter_.AddTask(input), 0) << converter_.LastError();
  TOutputOptions options = Mp4Options();
  EXPECT_FALSE(converter_.SetOutput(0, input, &options));
  EXPECT_EQ(converter_.LastError(),
            "Output file '" + input + "' is the input file '" + input + "'");
  converter_.ClearTasks();
  EXPECT_EQ(std::filesystem::file_size(input), size);
}

TEST_F(SetupTaskTest, NamesTheLocaleCannotCarryGoThroughTheUnicodeProtocol) {
  const std::string input = temp_.File("vid\xC3\xA9o.mp4");
  const std::string output = temp_.File("sortie-\xC3\xA9t\xC3\xA9.mp4");
  std::filesystem::copy_file(media_->Video640, input);
  const std::string saved = setlocale(LC_ALL, nullptr);
  setlocale(LC_ALL, "C");
  ASSERT_NE(ToLibraryFileName(input), input);  // the URL form is in use
  const int32_t index = converter_.AddTask(input);
  TOutputOptions options = Mp4Options();
  options.RecordingTime = 500;
  const bool added = index == 0 && converter_.SetOutput(0, output, &options);
  bool ended = false;
  converter_.OnTerminate = [&](int32_t i, bool finished, bool exception, const std::string& m) {
    if (i == 0) ended = finished && !exception;
    EXPECT_FALSE(exception) << m;
  };
  if (added) converter_.Start(0);
  setlocale(LC_ALL, saved.c_str());
  ASSERT_EQ(index, 0) << converter_.LastError();
  ASSERT_TRUE(added) << converter_.LastError();
  EXPECT_TRUE(ended);
  ASSERT_TRUE(std::filesystem::exists(output));
  EXPECT_GT(std::filesystem::file_size(output), 1000u);
}

TEST_F(SetupTaskTest, UnusedOutputFilesAreRemovedWithTheirTask) {
  AddVideoTask();
  const std::string file = temp_.File("never-written.mp4");
  ASSERT_TRUE(converter_.SetOutput(0, file, nullptr));
  EXPECT_TRUE(std::filesystem::exists(file));
  converter_.ClearTasks();
  EXPECT_FALSE(std::filesystem::exists(file));
  // An empty file the task did not make stays.
  const std::string existing = temp_.File("existing.mp4");
  std::ofstream(existing).flush();
  AddVideoTask();
  TOutputOptions options = Mp4Options();
  options.FrameSize = "641x480";
  EXPECT_FALSE(converter_.SetOutput(0, existing, &options));
  converter_.ClearTasks();
  EXPECT_TRUE(std::filesystem::exists(existing));
}

}  // namespace
}  // namespace kelvane::test
