// Fuzz targets "split-copy" and "split-encode": a whole split of arbitrary
// bytes, as the window runs one: the bytes become the input file, the task is
// set up through the component and run to its end on this thread, one second
// long at most and at a small picture size, so that the engine's time stamp,
// sync, crop, pad and audio code meets damaged streams. The first byte chooses
// the output and the options; the rest is the file.
//
//   split-copy:   bits 0-2 the container the packets are copied into, bit 3 a
//                 start 0.3 s in (the input seeks), bit 4 the input's own
//                 time stamps kept.
//   split-encode: bits 0-1 the container and encoders, bit 2 a start 0.3 s in,
//                 bit 3 letterbox bars, bit 4 cropped edges, bit 5 the sound
//                 resampled to mono and made louder, bit 6 sound and pictures
//                 kept in sync by the engine, bit 7 a frame rate of 10.
//
// A task that fails to open or to set up, or that ends with an error, is an
// answer; crashes, hangs, leaks and undefined behaviour are findings.
#include "engine/FFConverter.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace kelvane;

struct TOutputChoice {
  const char* Extension;
  const char* Video;
  const char* Audio;
};

#ifdef KELVANE_FUZZ_SPLIT_COPY
constexpr TOutputChoice kOutputs[] = {{"mkv", "copy", "copy"}, {"mp4", "copy", "copy"},
                                      {"avi", "copy", "copy"}, {"mpg", "copy", "copy"},
                                      {"ts", "copy", "copy"},  {"flv", "copy", "copy"},
                                      {"mov", "copy", "copy"}, {"nut", "copy", "copy"}};

void ChooseOptions(uint8_t selector, TOutputOptions& out) {
  if (selector & 8) out.StartTime = 300;
  out.CopyTimestamps = (selector & 16) != 0;
}
#else
constexpr TOutputChoice kOutputs[] = {{"mp4", "mpeg4", "aac"},
                                      {"avi", "mpeg4", "libmp3lame"},
                                      {"mpg", "mpeg2video", "mp2"},
                                      {"flv", "flv", "libmp3lame"}};

void ChooseOptions(uint8_t selector, TOutputOptions& out) {
  if (selector & 4) out.StartTime = 300;
  out.FrameSize = "64x48";
  if (selector & 8) {
    out.FrameSize = "64x36";
    out.PadTop = out.PadBottom = 6;
  }
  if (selector & 16) out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 2;
  if (selector & 32) {
    out.AudioSampleRate = 22050;
    out.AudioChannels = 1;
    out.AudioVolume = 512;
  }
  if (selector & 64) {
    out.AudioSync = 1;
    out.VideoSync = 1;
  }
  if (selector & 128) out.FrameRate = "10";
  out.VideoBitrate = 200000;
  out.AudioBitrate = 64000;
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  const uint8_t selector = input.Byte();
  const std::string file = fuzz::WriteRest(input, "input");
  if (file.empty()) return 0;
  // The output's container takes the low bits (the list's length is a power of two).
  const TOutputChoice& choice = kOutputs[selector % std::size(kOutputs)];
  TOutputOptions out;
  out.VideoCodec = choice.Video;
  out.AudioCodec = choice.Audio;
  ChooseOptions(selector, out);
  out.RecordingTime = 1000;
  // One thread per codec keeps a run repeatable; the output is held small.
  out.ExtOptions = "threads=1\nfs=2000000";
  TInputOptions in;
  in.ExtOptions = "threads=1";
  {
    TFFConverter converter;
    if (converter.AddTask(file, &in) == 0 &&
        converter.SetOutput(0, fuzz::ScratchFile(std::string("output.") + choice.Extension), &out)) {
      converter.Start(0);
    }
    converter.ClearTasks();
  }
  fuzz::RestoreProcessState();
  return 0;
}
