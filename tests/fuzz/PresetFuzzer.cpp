// Fuzz target "presets": preset files, the built-in preset lookup and the
// targets. An input holds a selector byte (the stream kind the preset is for,
// and the encoder the task has chosen for that kind), a line with a name, and
// the rest. The name is looked up as a preset (alone, then behind the
// encoder's name, as "vpre=normal" finds "libx264-normal") and applied as a
// target ("pal-dvd", ...); the rest is written to a preset file that is
// applied by its path. Refusals are answers; the task is freed after each input.
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace kelvane;

constexpr const char* kEncoders[] = {"",     "libx264",    "mpeg4", "aac",       "libmp3lame",
                                     "mp2",  "mpeg2video", "ac3",   "libvorbis", "flv",
                                     "h263", "libx265",    "amr_nb", "mov_text"};
constexpr char kKinds[] = {'v', 'a', 's'};
constexpr TStreamKind kStreamKinds[] = {skVideo, skAudio, skSubtitle};

template <typename Step>
void Try(Step step) {
  try {
    step();
  } catch (const FFmpegException&) {
    // A refused preset or target is an answer, not a finding.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  const uint8_t selector = input.Byte();
  const int kind = selector % 3;
  const char* encoder = kEncoders[selector / 3 % std::size(kEncoders)];
  const std::string name = input.TextUpTo('\n');
  const std::string file = fuzz::WriteRest(input, "user.ffpreset");
  if (file.empty()) return 0;
  {
    TFFmpeg task;
    Try([&] { task.SetCodecName(kStreamKinds[kind], encoder); });
    Try([&] { task.ApplyPreset(kKinds[kind], name); });
    Try([&] { task.ApplyPreset(kKinds[kind], file); });
    Try([&] { task.ApplyTarget(name, (selector & 0x80) ? "ntsc" : "pal"); });
  }
  fuzz::RestoreProcessState();
  return 0;
}
