// Presets (built-in, by codec prefix, from a file) and targets with their norms.
#include <sys/stat.h>

#include <fstream>

#include "binding/OptionDefaults.h"
#include "engine/FFConverter.h"
#include "engine/Presets.h"
#include "tests/engine/SetupTestMedia.h"

namespace kelvane::test {
namespace {

using PresetTest = TTaskTest;
using TargetTest = TTaskTest;

TEST_F(PresetTest, FoundByNameIgnoringCaseOrByCodecPrefix) {
  task_->SetOption("vcodec", "libx264");
  EXPECT_EQ(ErrorOf("vpre", "hq"), "");
  EXPECT_EQ(VideoTemplateInt("refs"), 4);
  EXPECT_EQ(VideoTemplateInt("subq"), 8);
  task_->SetOption("vcodec", "mpeg4");
  EXPECT_EQ(ErrorOf("vpre", "libx264-NORMAL"), "");
  EXPECT_EQ(VideoTemplateInt("refs"), 2);
}

TEST_F(PresetTest, MissingPresetNamesTheLastNameTried) {
  EXPECT_EQ(ErrorOf("vpre", "missing"), "Preset \"missing\" not found");
  task_->SetOption("acodec", "mp2");
  EXPECT_EQ(ErrorOf("apre", "missing"), "Preset \"mp2-missing\" not found");
  EXPECT_EQ(ErrorOf("spre", "missing"), "Preset \"missing\" not found");  // no subtitle codec
  EXPECT_EQ(ErrorOf("vpre", ""), "");
}

TEST_F(PresetTest, PresetFiles) {
  const std::string path = temp_.File("my.preset");
  std::ofstream(path) << "\r\n  g=12 \r\nbf=0\r\n\r\nVCODEC=mpeg4\n";
  EXPECT_EQ(ErrorOf("vpre", path), "");
  EXPECT_EQ(VideoTemplateInt("g"), 12);
  EXPECT_EQ(VideoTemplateInt("bf"), 0);
  EXPECT_EQ(task_->Pending.codec_name[skVideo], "mpeg4");

  const std::string empty = temp_.File("empty.preset");
  std::ofstream(empty).flush();
  EXPECT_EQ(ErrorOf("vpre", empty), "Preset \"" + empty + "\" not found");

  // Devices and pipes are no preset files: reading them never ended.
  const std::string pipe = temp_.File("pipe.preset");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  for (const std::string& device : {pipe, std::string("/dev/zero")}) {
    EXPECT_EQ(ErrorOf("vpre", device), "Preset \"" + device + "\" not found");
  }

  const std::string no_equals = temp_.File("noequals.preset");
  std::ofstream(no_equals) << "g=12\nrefs\n";
  EXPECT_EQ(ErrorOf("vpre", no_equals), no_equals + ": Invalid syntax: \"refs\"");

  const std::string bad = temp_.File("bad.preset");
  std::ofstream(bad) << "g=many\n";
  EXPECT_EQ(ErrorOf("vpre", bad),
            bad + ": Invalid option or argument: \"g=many\", parsed as \"g\" = \"many\"");
  const std::string unknown = temp_.File("unknown.preset");
  std::ofstream(unknown) << "nosuchoption=1\n";
  EXPECT_EQ(ErrorOf("vpre", unknown), unknown +
                                          ": Invalid option or argument: \"nosuchoption=1\", "
                                          "parsed as \"nosuchoption\" = \"1\"");
}

// Every built-in preset applies line by line to today's libx264 and the
// encoder opens with the result.
TEST_F(PresetTest, EveryBuiltInPresetOpensLibx264) {
  for (const TOptionsPreset& preset : BuiltInPresets) {
    SCOPED_TRACE(preset.Name);
    auto task = std::make_unique<TFFmpeg>();
    task->Reset();
    task->SetOption("vcodec", "libx264");
    ASSERT_NO_THROW(task->SetOption("vpre", preset.Name));
    task->SetOption("s", "320x240");
    task->SetOption("r", "25");
    task->SetOption("an", "1");
    ASSERT_EQ(task->AddOutput(temp_.File(std::string(preset.Name) + ".mp4"), false), 1)
        << task->LastError;
    TOutputStream& stream = task->OutputFiles[0]->streams.at(0);
    ASSERT_NE(stream.encoder, nullptr);
    EXPECT_STREQ(stream.encoder->name, "libx264");
    int result = 0;
    {
      std::lock_guard<std::mutex> lock(CodecLock());
      result = avcodec.avcodec_open2(stream.encoder_context.get(), stream.encoder, nullptr);
    }
    EXPECT_GE(result, 0);
  }
  EXPECT_FALSE(Logged("Invalid value"));
}

TEST_F(PresetTest, BaselinePresetReallyGivesBaseline) {
  task_->SetOption("vcodec", "libx264");
  task_->SetOption("vpre", "libx264-ipod320");
  task_->SetOption("s", "320x240");
  ASSERT_EQ(task_->AddOutput(temp_.File("ipod.mp4"), false), 1) << task_->LastError;
  AVCodecContext* enc = task_->OutputFiles[0]->streams[0].encoder_context.get();
  EXPECT_EQ(enc->max_b_frames, 0);
  EXPECT_EQ(enc->rc_max_rate, 768000);
  uint8_t* profile = nullptr;
  ASSERT_GE(avutil.av_opt_get(enc->priv_data, "profile", 0, &profile), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(profile), "baseline");
  avutil.av_free(profile);
}

// ---- targets ----

TEST_F(TargetTest, PalVcd) {
  EXPECT_EQ(ErrorOf("target", "pal-vcd"), "");
  EXPECT_EQ(task_->Pending.frame_width, 352);
  EXPECT_EQ(task_->Pending.frame_height, 288);
  EXPECT_EQ(task_->Pending.frame_rate.num, 25);
  EXPECT_EQ(task_->Pending.frame_rate.den, 1);
  EXPECT_EQ(VideoTemplateInt("g"), 15);
  EXPECT_EQ(VideoTemplateInt("b"), 1150000);
  EXPECT_EQ(task_->Pending.codec_name[skVideo], "mpeg1video");
  EXPECT_EQ(task_->Pending.codec_name[skAudio], "mp2");
  ASSERT_NE(task_->Pending.output_format, nullptr);
  EXPECT_STREQ(task_->Pending.output_format->name, "vcd");
  EXPECT_EQ(task_->Pending.audio_sample_rate, 44100);
  EXPECT_EQ(task_->Pending.audio_channels, 2);
  EXPECT_FLOAT_EQ(task_->Pending.mux_preload, 0.44f);
  EXPECT_FLOAT_EQ(task_->Pending.frame_aspect_ratio, 4.0f / 3.0f);
  EXPECT_TRUE(Logged("Assuming 4:3 for aspect ratio"));
}

TEST_F(TargetTest, NtscDvdAssumesWideAspectOnlyWhenNoneIsSet) {
  EXPECT_EQ(ErrorOf("target", "ntsc-dvd"), "");
  EXPECT_EQ(task_->Pending.frame_width, 720);
  EXPECT_EQ(task_->Pending.frame_height, 480);
  EXPECT_EQ(task_->Pending.frame_rate.num, 30000);
  EXPECT_EQ(task_->Pending.frame_rate.den, 1001);
  EXPECT_EQ(VideoTemplateInt("g"), 18);
  EXPECT_EQ(task_->Pending.codec_name[skAudio], "ac3");
  EXPECT_EQ(task_->Pending.audio_sample_rate, 48000);
  EXPECT_FLOAT_EQ(task_->Pending.frame_aspect_ratio, 16.0f / 9.0f);
  EXPECT_TRUE(Logged("Assuming 16:9 for aspect ratio"));

  task_->Reset();
  task_->SetOption("aspect", "4:3");
  EXPECT_EQ(ErrorOf("target", "film-dvd"), "");
  EXPECT_FLOAT_EQ(task_->Pending.frame_aspect_ratio, 4.0f / 3.0f);
  EXPECT_EQ(task_->Pending.frame_rate.num, 24000);  // FILM rate, NTSC sizes
  EXPECT_EQ(task_->Pending.frame_height, 480);
}

TEST_F(TargetTest, AutoNormFromThePendingRateOrTheFallback) {
  task_->SetOption("r", "25");
  EXPECT_EQ(ErrorOf("target", "svcd"), "");
  EXPECT_EQ(task_->Pending.frame_height, 576);
  EXPECT_TRUE(Logged("Assuming PAL for target."));
  EXPECT_EQ(task_->Pending.audio_channels, 2);  // 1 by default, raised to 2

  task_->Reset();
  task_->SetOption("r", "24");  // neither PAL nor NTSC; the option's fallback is NTSC
  EXPECT_EQ(ErrorOf("target", "vcd"), "");
  EXPECT_EQ(task_->Pending.frame_height, 240);
  EXPECT_TRUE(Logged("Assuming NTSC for target."));

  task_->Reset();
  task_->SetOption("r", "30000/1001");
  EXPECT_EQ(ErrorOf("target", "dv50"), "");
  EXPECT_EQ(task_->Pending.frame_pix_fmt, AV_PIX_FMT_YUV422P);
  task_->SetOption("target", "pal-dv");
  EXPECT_EQ(task_->Pending.frame_pix_fmt, AV_PIX_FMT_YUV420P);
  task_->SetOption("target", "ntsc-dv");
  EXPECT_EQ(task_->Pending.frame_pix_fmt, AV_PIX_FMT_YUV411P);
}

TEST_F(TargetTest, AutoNormLooksAtTheInputStreams) {
  ASSERT_TRUE(task_->OpenInput(SetupMedia().Video640)) << task_->LastError;
  task_->SetOption("r", "24");
  EXPECT_EQ(ErrorOf("target", "vcd"), "");
  EXPECT_EQ(task_->Pending.frame_height, 288);  // the 25 fps input decides PAL
}

TEST_F(TargetTest, RecordTargetWithNormAndFallback) {
  TFFConverter converter;
  ASSERT_EQ(converter.AddTask(SetupMedia().Video640), 0) << converter.LastError();
  TOutputOptions options;
  options.Target = 3;
  options.TargetNorm = 1;
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("disc.mpg"), &options)) << converter.LastError();
  TFFmpeg& task = *converter.Task(0);
  const AVCodecContext* video = task.OutputFiles[0]->streams[0].encoder_context.get();
  EXPECT_EQ(video->codec_id, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(video->width, 720);
  EXPECT_EQ(video->height, 576);
  EXPECT_STREQ(task.OutputFiles[0]->context->oformat->name, "dvd");
  const AVCodecContext* audio = task.OutputFiles[0]->streams[1].encoder_context.get();
  EXPECT_EQ(audio->codec_id, AV_CODEC_ID_AC3);
  EXPECT_EQ(audio->sample_rate, 48000);
  EXPECT_EQ(audio->bit_rate, 448000);
}

}  // namespace
}  // namespace kelvane::test
