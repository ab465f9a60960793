#include "engine/FFmpeg.h"

#include "binding/OptionDefaults.h"
#include "engine/core/FFmpegException.h"
#include "probe/AVProbe.h"

namespace kelvane {

TOptionGroup OptionGroupOf(const std::string& name) {
  if (name == "newvideo" || name == "newaudio" || name == "newsubtitle") return ogNewStream;
  if (name == "apre" || name == "vpre" || name == "spre") return ogPreset;
  return ogGeneral;
}

TCustomFFmpeg::TCustomFFmpeg() {
  InitState();
  if (GetLoader().LibrariesLoaded(EngineLibraries)) {
    OptionDefaults = std::make_unique<TOptionDefaults>();
    OptionDefaults->AllocOptionDefaults(Settings.sws_flags);
  }
}

TCustomFFmpeg::~TCustomFFmpeg() { TCustomFFmpeg::ReleaseState(); }

void TCustomFFmpeg::InitState() {
  Pending = TPendingSettings();
  Settings = TRunSettings();
  StreamMaps.clear();
  MetaDataMaps.clear();
  FrameHooksActive = false;
  HookRanges.clear();
  HookRangeIndex = 0;
  HookAction = haContinue;
  Verbosity = 1;
}

void TCustomFFmpeg::Reset() {
  ReleaseState();
  InitState();
  if (GetLoader().LibrariesLoaded(EngineLibraries)) {
    OptionDefaults = std::make_unique<TOptionDefaults>();
    OptionDefaults->AllocOptionDefaults(Settings.sws_flags);
  }
  Running = false;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  ErrorOccurred = false;
  ErrorMessage.clear();
  LastError.clear();
  TotalOutputDuration = -1;
}

void TCustomFFmpeg::ReleaseState() {
  // Outputs first (their files are closed and empty ones removed), then inputs.
  OutputFiles.clear();
  InputFiles.clear();
  OptionDefaults.reset();
  ReleaseFrameHooks(FrameHooks);
  FrameHooksActive = false;
  Pending.intra_matrix.clear();
  Pending.inter_matrix.clear();
  for (auto& name : Pending.codec_name) name.clear();
  Pending.video_rc_override.clear();
  Pending.audio_language.clear();
  Pending.subtitle_language.clear();
  Pending.codec_tag[skSubtitle] = 0;
  Settings.vstats_filename.clear();
  Settings.join = false;
}

void TCustomFFmpeg::Log(TLogLevel level, const std::string& text) const {
  GetLogger().Log(this, level, text);
}

TFFmpeg::TFFmpeg() = default;
TFFmpeg::~TFFmpeg() {
  // The probe points into the task's input: it goes before the inputs.
  Probe.reset();
  TCustomFFmpeg::ReleaseState();
}

void TFFmpeg::ReleaseState() {
  if (Probe) Probe->CloseFile();
  TCustomFFmpeg::ReleaseState();
}

}  // namespace kelvane
