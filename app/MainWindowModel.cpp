#include "app/MainWindowModel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "app/MarkTime.h"
#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/FileUtils.h"
#include "probe/AVProbe.h"

namespace kelvane {
namespace {

const char kInformation[] = "Information";
const char kApplicationTitle[] = "Kelvane";
const char kMissingFiles[] =
    "Some files are missing or had been deleted!!!\n\rPlease re-install this software.";
const char kBadMarks[] =
    "Either the start time or end time is NOT correct.\n\rPlease make the necessary adjustment.";
const char kCompleted[] = "Splitting job completed!";
const char kNewFile[] = "\n\rThe new file is ";
const char kStopped[] = "The split was stopped.";
const char kStoppedKept[] = "\n\rWhat was written so far is kept in ";
const char kStoppedNothing[] = "\n\rNothing was written.";
const char kUnreadable[] = "This file cannot be read:\n\r";
const char kFailed[] = "Splitting job failed!\n\r";
const char kNoVideo[] =
    "This video file does NOT have any video frame!\n\rThis video file cannot be splitted.";
const char kChooseFormat[] = "Please choose an output format!";
const char kFolderHeadline[] = "Please select an output folder :";

}  // namespace

TMainWindowModel::TMainWindowModel(TMessageSink& messages) : messages_(messages) {
  session_.OnProgress = [this](const TSplitProgress& progress) { ApplyProgress(progress); };
  session_.OnEnd = [this](const TSplitEnd&) { ApplyEnd(); };
}

TMainWindowModel::~TMainWindowModel() = default;

void TMainWindowModel::Changed() {
  if (OnStateChange) OnStateChange();
}

void TMainWindowModel::Log(const std::string& text) { GetLogger().Log(this, llInfo, text); }

// ---- Start-up ----

void TMainWindowModel::FormCreate(const std::string& program_folder) {
  program_folder_ = program_folder;
  PreviewPaused = false;
  if (!converter_.LibrariesLoaded() && !converter_.LoadLibraries(program_folder)) {
    Log(converter_.LastError());
    messages_.ShowMessage(kInformation, kMissingFiles);
    return;
  }
  FillOutputFormats();
  ComboOutputFormatChange();
  FillLetterBoxList();
  EditInputFilename.clear();
  Changed();
}

// ---- Stored settings ----

namespace {

// A list choice is stored as its text; earlier versions stored its index under
// the same name, which still reads. Nothing when the value is missing; -1 when
// the list has no such entry.
std::optional<int> ReadChoice(TSettingsStore& store, const std::string& name,
                              const TListModel& list) {
  if (auto text = store.ReadString(name)) {
    const int index = list.IndexOf(*text);
    if (index >= 0) return index;
  }
  if (auto index = store.ReadInteger(name)) {
    return *index >= 0 && *index < list.Count() ? *index : -1;
  }
  return std::nullopt;
}

// The stored format: by its text, or, from an older settings file, by its
// position in the list as it was then, which names the same entry today.
std::optional<int> ReadFormatChoice(TSettingsStore& store, const TListModel& list) {
  if (auto text = store.ReadString("ComboOutputFormat")) {
    const int index = list.IndexOf(*text);
    if (index >= 0) return index;
  }
  if (auto index = store.ReadInteger("ComboOutputFormat")) {
    const std::vector<std::string>& original = OriginalFormatList();
    if (*index < 0 || *index >= static_cast<int>(original.size())) return -1;
    return list.IndexOf(original[static_cast<size_t>(*index)]);
  }
  return std::nullopt;
}

// Selects the stored text's entry, when the list has it.
void SelectStored(TSettingsStore& store, const std::string& name, TListModel& list) {
  if (auto text = store.ReadString(name)) {
    const int index = list.IndexOf(*text);
    if (index >= 0) list.Select(index);
  }
}

}  // namespace

std::vector<std::pair<const char*, TListModel*>> TMainWindowModel::DetailedLists() {
  return {{"Video Codec", &ComboVideoCodec},     {"Video Bitrate", &ComboVideoBitrate},
          {"Video Size", &ComboVideoSize},       {"Frame Rate", &ComboVideoFramerate},
          {"Audio Codec", &ComboAudioCodec},     {"Audio Bitrate", &ComboAudioBitrate},
          {"Sampling Rate", &ComboSamplingRate}, {"Audio Channels", &ComboAudioChannels}};
}

void TMainWindowModel::LoadSettings(TSettingsStore& store) {
  // Reading stops at the first of the nine first values that is missing.
  auto load = [&]() -> bool {
    EditOutputFolder = store.ReadString("Output Folder").value_or(std::string());
    Changed();
    auto format = ReadFormatChoice(store, ComboOutputFormat);
    if (!format) return false;
    // A stored format the list does not have counts as none at all.
    ComboOutputFormat.Select(*format < 0 ? ComboOutputFormat.IndexOf(DefaultFormat()) : *format);
    auto overwrite = store.ReadBool("Overwrite");
    if (!overwrite) return false;
    Overwrite = *overwrite;
    auto add_video = store.ReadBool("AddVideo");
    if (!add_video) return false;
    PlayImmediately = *add_video;
    auto letterbox = ReadChoice(store, "LetterBox", ComboLetterBox);
    if (!letterbox) return false;
    if (*letterbox >= 0) ComboLetterBox.Select(*letterbox);
    // The quality lists hold the same levels for every format, or only
    // "Same as source", which leaves the list's own choice.
    TListModel levels;
    for (const std::string& level : QualityLevels()) levels.Add(level);
    levels.Add(kSameAsSource);
    auto level_of = [&](const std::optional<int>& index) {
      return *index < int(QualityLevels().size()) ? *index : -1;
    };
    auto video_quality = ReadChoice(store, "VideoQuality", levels);
    if (!video_quality) return false;
    auto audio_quality = ReadChoice(store, "AudioQuality", levels);
    if (!audio_quality) return false;
    lists_format_.clear();  // the lists afresh, as the format fills them
    ComboOutputFormatChange();
    SelectLevels(level_of(video_quality), level_of(audio_quality));
    auto top = store.ReadInteger("FormTop");
    if (!top) return false;
    if (*top >= 0) SavedTop = *top;
    auto left = store.ReadInteger("FormLeft");
    if (!left) return false;
    if (*left >= 0) SavedLeft = *left;
    // The detailed settings and the volume came later: a missing one leaves
    // the format's own choice.
    for (const auto& [name, list] : DetailedLists()) SelectStored(store, name, *list);
    ComboVideoSizeChange(ComboVideoSize);
    ComboVideoQualityChange(ComboVideoBitrate);
    ComboVideoQualityChange(ComboAudioBitrate);
    if (auto volume = store.ReadInteger("Volume"); volume && *volume >= 0 && *volume <= 200) {
      SpinVolume = *volume;
    }
    return true;
  };
  if (!load()) {
    ComboOutputFormat.Select(ComboOutputFormat.IndexOf(DefaultFormat()));
    lists_format_.clear();
    ComboOutputFormatChange();
    SelectLevels(NormalLevel(), NormalLevel());
    SavedTop = 5;
    SavedLeft = 150;
    SaveSettings(store);
  }
  Changed();
}

void TMainWindowModel::SaveSettings(TSettingsStore& store) {
  if (!store.WriteString("Output Folder", EditOutputFolder)) return;
  if (!store.WriteString("ComboOutputFormat", ComboOutputFormat.Text())) return;
  if (!store.WriteBool("Overwrite", Overwrite)) return;
  if (!store.WriteBool("AddVideo", PlayImmediately)) return;
  if (!store.WriteString("LetterBox", ComboLetterBox.Text())) return;
  if (!store.WriteString("VideoQuality", ComboVideoQuality.Text())) return;
  if (!store.WriteString("AudioQuality", ComboAudioQuality.Text())) return;
  if (!store.WriteInteger("FormTop", FormTop)) return;
  if (!store.WriteInteger("FormLeft", FormLeft)) return;
  for (const auto& [name, list] : DetailedLists()) {
    if (!store.WriteString(name, list->Text())) return;
  }
  store.WriteInteger("Volume", SpinVolume);
}

// ---- Format list and settings lists ----

void TMainWindowModel::FillLetterBoxList() {
  ComboLetterBox.Clear();
  ComboLetterBox.Add("None");
  ComboLetterBox.Add("Add LetterBox");
  ComboLetterBox.Select(1);
}

void TMainWindowModel::FillOutputFormats() {
  ComboOutputFormat.Clear();
  for (const std::string& entry : FormatList()) ComboOutputFormat.Add(entry);
  ComboOutputFormat.SetDropDownCount(20);
  ComboOutputFormat.Select(ComboOutputFormat.IndexOf(DefaultFormat()));
}

void TMainWindowModel::ComboOutputFormatChange() {
  const std::string text = ComboOutputFormat.Text();
  if (Contains(text, "  ") || Contains(text, "---")) {
    // A header or a blank entry: the previous format comes back.
    ComboOutputFormat.Select(LastFormatIndex);
    if (ComboOutputFormat.Text() == lists_format_) return;
  }
  ComboOutputFormat.SetDropDownCount(25);
  if (text == lists_format_) {
    // The format shown chosen again: its lists keep what was chosen in them.
    LastFormatIndex = ComboOutputFormat.ItemIndex();
    Changed();
    return;
  }
  FillSettingsLists();
  // The quality lists show the levels of the bitrates the format chose, so a
  // level means the same bitrate whichever way it was reached.
  ComboVideoQualityChange(ComboVideoBitrate);
  ComboVideoQualityChange(ComboAudioBitrate);
  Changed();
}

void TMainWindowModel::FillSettingsLists() {
  ComboVideoCodec.Clear();
  ComboVideoBitrate.Clear();
  ComboVideoSize.Clear();
  ComboVideoFramerate.Clear();
  ComboVideoSizeMirror.Clear();

  const Quality* row = FindPreset(ComboOutputFormat.Text());
  if (row != nullptr) ContainerName = row->Container;

  if (row != nullptr && row->Today) {
    FillTodayLists(*row->Today);
  } else if (!IsAudioOnly()) {
    if (row != nullptr) {
      FillVideoCodecs(*row, ComboVideoCodec);
      FillSizes(*row, ComboVideoSize);
      FillVideoBitrates(*row, ComboVideoBitrate);
      FillFrameRates(*row, ComboVideoFramerate);
    } else {
      ComboVideoSize.Select(0);
    }
    ComboVideoSizeMirror.Assign(ComboVideoSize);
  }
  if (row != nullptr && !row->Today) {
    FillAudioCodecs(*row, ComboAudioCodec);
    FillAudioBitrates(*row, ComboAudioBitrate);
    FillSampleRates(*row, ComboSamplingRate);
  }

  const bool same_as_source = row != nullptr && row->Today && row->Today->SameAsSource;
  for (TListModel* quality : {&ComboVideoQuality, &ComboAudioQuality}) {
    quality->Clear();
    if (same_as_source) {
      quality->Add(kSameAsSource);
      quality->Select(0);
      continue;
    }
    for (const std::string& level : QualityLevels()) quality->Add(level);
    quality->Select(NormalLevel());
  }

  if (row != nullptr && row->Today) {
    FillChoices(row->Today->Channels, ComboAudioChannels);
  } else {
    ComboAudioChannels.Clear();
    if (!IsMonoContainer(ContainerName)) ComboAudioChannels.Add("Stereo");
    ComboAudioChannels.Add("Mono");
    ComboAudioChannels.Select(0);
  }

  LastFormatIndex = ComboOutputFormat.ItemIndex();
  lists_format_ = ComboOutputFormat.Text();
  LockSameAsSourceLists();
}

void TMainWindowModel::ComboVideoQualityChange(const TListModel& changed) {
  const Quality* row = FindPreset(ComboOutputFormat.Text());
  const std::array<std::string, 5> none;
  const auto& video = row != nullptr ? row->VideoBitrates : none;
  const auto& audio = row != nullptr ? row->AudioBitrates : none;
  auto select = [](TListModel& list, int index) {
    if (index >= 0) list.Select(index);
  };
  if (row != nullptr && row->Today) {
    // A level is a constant quality, not a bit rate: choosing one lets the
    // quality rule again ("Auto (quality)"); a bit rate chosen leaves the level.
    if (&changed == &ComboVideoQuality && ComboVideoBitrate.Count() > 0) {
      ComboVideoBitrate.Select(0);
    }
  } else if (&changed == &ComboVideoQuality) {
    select(ComboVideoBitrate,
           BitrateEntryOfLevel(video, ComboVideoBitrate, ComboVideoQuality.ItemIndex()));
  }
  if (&changed == &ComboVideoBitrate && !(row != nullptr && row->Today)) {
    select(ComboVideoQuality,
           LevelOfBitrateEntry(video, ComboVideoBitrate, ComboVideoBitrate.ItemIndex()));
  }
  if (&changed == &ComboAudioBitrate) {
    select(ComboAudioQuality,
           LevelOfBitrateEntry(audio, ComboAudioBitrate, ComboAudioBitrate.ItemIndex()));
  }
  if (&changed == &ComboAudioQuality) {
    select(ComboAudioBitrate,
           BitrateEntryOfLevel(audio, ComboAudioBitrate, ComboAudioQuality.ItemIndex()));
  }
  VideoQualityIndex = ComboVideoQuality.ItemIndex();
  AudioQualityIndex = ComboAudioQuality.ItemIndex();
  Changed();
}

void TMainWindowModel::SelectLevels(int video, int audio) {
  if (video >= 0) ComboVideoQuality.Select(video);
  if (audio >= 0) ComboAudioQuality.Select(audio);
  ComboVideoQualityChange(ComboVideoQuality);
  ComboVideoQualityChange(ComboAudioQuality);
}

void TMainWindowModel::FillTodayLists(const TTodayFormat& format) {
  if (!IsAudioOnly()) {
    FillChoices(format.VideoCodecs, ComboVideoCodec);
    FillChoices(format.Sizes, ComboVideoSize);
    FillChoices(format.VideoBitrates, ComboVideoBitrate);
    FillChoices(format.FrameRates, ComboVideoFramerate);
    ComboVideoSizeMirror.Assign(ComboVideoSize);
  }
  FillChoices(format.AudioCodecs, ComboAudioCodec);
  FillChoices(format.AudioBitrates, ComboAudioBitrate);
  FillChoices(format.SampleRates, ComboSamplingRate);
}

int TMainWindowModel::NormalLevel() {
  const std::vector<std::string>& levels = QualityLevels();
  return static_cast<int>(std::find(levels.begin(), levels.end(), "Normal") - levels.begin());
}

void TMainWindowModel::ComboVideoSizeChange(const TListModel& changed) {
  if (&changed == &ComboVideoSize) ComboVideoSizeMirror.Select(ComboVideoSize.ItemIndex());
  if (&changed == &ComboVideoSizeMirror) ComboVideoSize.Select(ComboVideoSizeMirror.ItemIndex());
}

bool TMainWindowModel::IsAudioOnly() const { return IsAudioOnlyContainer(ContainerName); }

// ---- Controls ----

std::array<TListModel*, 12> TMainWindowModel::SettingsLists() {
  return {&ComboVideoQuality,   &ComboAudioQuality, &ComboVideoSizeMirror, &ComboLetterBox,
          &ComboVideoCodec,     &ComboAudioCodec,   &ComboVideoBitrate,    &ComboVideoSize,
          &ComboVideoFramerate, &ComboAudioBitrate, &ComboSamplingRate,    &ComboAudioChannels};
}

void TMainWindowModel::DisableControls() {
  ControlsEnabled = false;
  for (TListModel* list : SettingsLists()) {
    list->SetEnabled(false);
  }
  Changed();
}

void TMainWindowModel::EnableControls() {
  ControlsEnabled = true;
  for (TListModel* list : SettingsLists()) {
    list->SetEnabled(true);
  }
  LockSameAsSourceLists();
  ProgressValue = 0;
  Changed();
}

bool TMainWindowModel::SameAsSourceChosen() const {
  const Quality* row = FindPreset(lists_format_);
  return row != nullptr && row->Today && row->Today->SameAsSource;
}

void TMainWindowModel::LockSameAsSourceLists() {
  // "Same as Source" keeps everything of the source: its lists only say so,
  // and the letterbox, which a copy cannot apply, cannot be changed. The
  // volume stays editable: a copy refuses any but 100 (BuildSplitPlan).
  const bool editable = ControlsEnabled && !SameAsSourceChosen();
  for (TListModel* list : SettingsLists()) {
    list->SetEnabled(editable);
  }
}

// ---- Opening a file and the marks ----

bool TMainWindowModel::AddVideoFile(const std::string& path) {
  if (Splitting) return false;
  EditInputFilename = path;
  ExactStart.Time = ExactEnd.Time = -1;
  SourceDurationUs = -1;
  Changed();
  TAVProbe& probe = converter_.Probe();
  if (!probe.LoadFile(path, "")) {
    Log(probe.LastErrMsg());
    std::string reason = probe.LastErrMsg();
    if (reason.empty()) reason = "its format is not recognised";
    messages_.ShowMessage(kInformation, kUnreadable + path + "\n\r" + reason);
    return false;
  }
  if (probe.VideoStreamCount() == 0) {
    messages_.ShowMessage(kInformation, kNoVideo);
    return false;
  }
  const TVideoStreamInfo video = probe.GetVideoStreamInfo();
  SourceSize = std::to_string(video.Width) + "x" + std::to_string(video.Height);
  SourceRotation = video.Rotation > 0 ? video.Rotation : 0;
  if (video.FrameRateNum > 0 && video.FrameRateDen > 0) {
    // Halves go to the even neighbour (the default rounding mode).
    const double rate = static_cast<double>(video.FrameRateNum) / video.FrameRateDen;
    SourceFrameRate = std::to_string(static_cast<long long>(std::nearbyint(rate)));
  } else {
    SourceFrameRate.clear();  // unknown: an "Auto" frame rate then stays unset
  }
  const TFileStreamInfo file = probe.GetFileStreamInfo();
  SourceDuration = std::to_string(file.Duration < 0 ? 0 : file.Duration / 1000000);
  SourceDurationUs = file.Duration < 0 ? -1 : file.Duration;
  Changed();
  return true;
}

void TMainWindowModel::PlayerPosition(int64_t pts) {
  PositionText = FormatFixed(static_cast<double>(pts) / 1000000.0, 2);
  if (pts >= 0) PlayPosition = pts;
  Changed();
}

void TMainWindowModel::ButtonMarkStartClick() {
  StartMarkText = PositionText;
  Changed();
}

void TMainWindowModel::ButtonMarkEndClick() {
  EndMarkText = PositionText;
  Changed();
}

void TMainWindowModel::SetMarkAt(int which, int64_t time, int64_t duration) {
  TExactMark& mark = which == 1 ? ExactStart : ExactEnd;
  // The picture shown is the segment's last: the segment ends where it does.
  if (which == 2 && duration > 0) time += duration;
  mark.Text = FormatFixed(static_cast<double>(time) / 1000000.0, 2);
  mark.Time = time;
  (which == 1 ? StartMarkText : EndMarkText) = mark.Text;
  Changed();
}

void TMainWindowModel::ButtonClearMarksClick() {
  if (Splitting) return;
  ExactStart = ExactEnd = TExactMark();
  StartMarkText = EndMarkText = PositionText = "0.00";
  ProgressText = "0%";
  FrameCountLine.clear();
  Changed();
}

// ---- Time-edit dialog ----

std::string TMainWindowModel::TimeEditText() const {
  if (EditedTime == TEditedMark::Start) return StartMarkText;
  if (EditedTime == TEditedMark::End) return EndMarkText;
  return std::string();
}

std::string TMainWindowModel::TimeEditHint() { return "Type " + MarkForms() + "."; }

bool TMainWindowModel::TimeEditKeyAllowed(const std::string& text, char key, std::string& label) {
  label.clear();
  const bool allowed = key == '\b' || (key >= '0' && key <= '9') || key == ':' ||
                       (key == '.' && text.find('.') == std::string::npos);
  if (!allowed) label = TimeEditHint();
  return allowed;
}

bool TMainWindowModel::TimeEditDone(const std::string& text, std::string& refusal) {
  refusal.clear();
  if (EditedTime == TEditedMark::None) return true;
  std::optional<int64_t> typed = MarkHundredths(text);
  if (!typed) {
    refusal = "\"" + Trim(text) + "\" is not a time. " + TimeEditHint();
    return false;
  }
  // The file's length in hundredths, its last part counting as a whole one.
  const int64_t length = SourceDurationUs < 0 ? -1 : (SourceDurationUs + 9999) / 10000;
  std::string notice;
  if (EditedTime == TEditedMark::Start) {
    if (length >= 0 && *typed >= length && *typed > 0) {
      refusal = "The start " + MarkFromHundredths(*typed) + " lies past the end of the file (" +
                MarkFromHundredths(length) + " s).";
      return false;
    }
    const std::optional<int64_t> end = MarkHundredths(EndMarkText);
    if (end && *end > 0 && *typed > *end) {
      refusal = "The start " + MarkFromHundredths(*typed) + " lies after the end mark " +
                EndMarkText + ".";
      return false;
    }
  } else {
    if (length >= 0 && *typed > length) {
      notice = "The end " + MarkFromHundredths(*typed) +
               " lies past the end of the file; the end mark is set to its end, " +
               MarkFromHundredths(length) + ".";
      typed = length;
    }
    const std::optional<int64_t> start = MarkHundredths(StartMarkText);
    if (start && *typed < *start) {
      refusal = "The end " + MarkFromHundredths(*typed) + " lies before the start mark " +
                StartMarkText + ".";
      return false;
    }
  }
  // A typed mark is a time, not a picture.
  (EditedTime == TEditedMark::Start ? ExactStart : ExactEnd) = TExactMark();
  (EditedTime == TEditedMark::Start ? StartMarkText : EndMarkText) = MarkFromHundredths(*typed);
  Changed();
  if (!notice.empty()) messages_.ShowMessage(kInformation, notice);
  if (OnMarkTyped) OnMarkTyped(EditedTime, *typed * 10000);
  return true;
}

// ---- Split ----

void TMainWindowModel::BrowseForFolder() {
  if (auto folder = messages_.ChooseFolder(kFolderHeadline)) {
    EditOutputFolder = *folder;
    Changed();
    if (OnRepaintPlay) OnRepaintPlay();
  }
}

void TMainWindowModel::ButtonOutputFolderClick() {
  if (Splitting) return;
  BrowseForFolder();
}

bool TMainWindowModel::CheckBeforeRip() {
  if (!converter_.LibrariesLoaded()) {
    // The program's own folder (binding's), not the member that returns program_folder_.
    const std::string folder =
        program_folder_.empty() ? kelvane::ProgramFolder() : program_folder_;
    if (!converter_.LoadLibraries(IncludeTrailingPathDelimiter(folder) + "Common")) {
      Log(converter_.LastError());
      messages_.ShowMessage(kInformation, kMissingFiles);
      return false;
    }
    if (ComboOutputFormat.Count() == 0) {
      // The libraries were missing at start-up, so the user never saw a
      // format to choose; offer the lists now rather than split into one
      // the user did not pick.
      FillOutputFormats();
      ComboOutputFormatChange();
      FillLetterBoxList();
      messages_.ShowMessage(kInformation, kChooseFormat);
      return false;
    }
  }
  if (Trim(EditInputFilename).empty()) {
    messages_.ShowMessage(kInformation, NoInputMessage());
    return false;
  }
  const std::string folder_problem = OutputFolderProblem(EditOutputFolder);
  if (!folder_problem.empty()) {
    messages_.ShowMessage(kInformation, folder_problem);
    BrowseForFolder();
    return false;
  }
  return true;
}

void TMainWindowModel::ButtonStartClick() {
  if (Splitting) return;
  if (OnStopPreview) OnStopPreview();
  CompletionShown = false;
  StartSplit();
  // A split that did not begin leaves the preview as it was.
  if (!Splitting && OnRestorePreview) OnRestorePreview();
}

void TMainWindowModel::StartSplit() {
  if (!CheckBeforeRip()) return;
  // A segment list is checked as a whole by the session; the marks play no
  // part in it.
  if (Segments.Empty() && !CheckMarks()) return;
  converter_.SetPreviewBitmap(true);
  StatusLine = "Ready";
  StatusWarning = false;
  Splitting = true;
  DisableControls();
  FFGoConvert();
}

bool TMainWindowModel::CheckMarks() {
  if (Trim(StartMarkText).empty() || Trim(EndMarkText).empty()) {
    messages_.ShowMessage(kInformation, kBadMarks);
    return false;
  }
  auto start = ParseDecimal(StartMarkText);
  if (!start) {
    messages_.ShowError(kApplicationTitle,
                        "'" + StartMarkText + "' is not a valid floating point value");
    return false;
  }
  auto end = ParseDecimal(EndMarkText);
  if (!end) {
    messages_.ShowError(kApplicationTitle,
                        "'" + EndMarkText + "' is not a valid floating point value");
    return false;
  }
  if (*end < *start) {
    messages_.ShowMessage(kInformation, EndBeforeStartMessage());
    return false;
  }
  return true;
}

std::string TMainWindowModel::OutputExplanation() const {
  const TSplitJob job = MakeSplitJob();
  // Planning asks the codec library which sizes an encoder takes, which
  // opens it: only when a choice changed.
  const std::string key = job.Describe() + "\n" + std::to_string(job.SourceRotation) + " " +
                          std::to_string(job.StartExactUs) + " " + std::to_string(job.EndExactUs);
  if (key == explained_job_) return explanation_;
  TSplitPlan plan;
  std::string message;
  explanation_ = BuildSplitPlan(job, plan, message) ? ExplainSplit(job, plan) : std::string();
  explained_job_ = key;
  return explanation_;
}

TSplitJob TMainWindowModel::MakeSplitJob() const {
  TSplitJob job;
  job.InputFile = EditInputFilename;
  job.OutputFolder = EditOutputFolder;
  job.Overwrite = Overwrite;
  job.FormatText = ComboOutputFormat.Text();
  job.ContainerName = ContainerName;
  job.SourceSize = SourceSize;
  job.SourceRotation = SourceRotation;
  job.SourceFrameRate = SourceFrameRate;
  job.SourceDuration = SourceDuration;
  job.VideoQuality = ComboVideoQuality.Text();
  job.VideoCodec = ComboVideoCodec.Text();
  job.VideoBitrate = ComboVideoBitrate.Text();
  job.VideoSize = ComboVideoSize.Text();
  job.FrameRate = ComboVideoFramerate.Text();
  job.AudioCodec = ComboAudioCodec.Text();
  job.AudioBitrate = ComboAudioBitrate.Text();
  job.SampleRate = ComboSamplingRate.Text();
  job.AudioChannels = ComboAudioChannels.Text();
  job.LetterBoxIndex = ComboLetterBox.ItemIndex();
  job.Volume = SpinVolume;
  job.StartMark = StartMarkText;
  job.EndMark = EndMarkText;
  if (ExactStart.Time >= 0 && StartMarkText == ExactStart.Text) job.StartExactUs = ExactStart.Time;
  if (ExactEnd.Time >= 0 && EndMarkText == ExactEnd.Text) job.EndExactUs = ExactEnd.Time;
  job.SourceDurationUs = SourceDurationUs;
  job.Segments = Segments;
  job.JoinSegments = JoinSegments;
  job.Settings = ReadSplitSettings(job);
  return job;
}

void TMainWindowModel::Abandon(const std::string& message) {
  Splitting = false;
  EnableControls();
  if (!message.empty()) messages_.ShowMessage(kInformation, message);
}

void TMainWindowModel::FFGoConvert() {
  if (!CheckBeforeRip()) return Abandon(std::string());
  ProgressValue = 0;
  Changed();
  std::string message;
  if (!session_.Start(MakeSplitJob(), message)) return Abandon(message);
}

void TMainWindowModel::ButtonStopSplitClick() {
  if (!Splitting) return;
  session_.Pause();
  if (!messages_.Confirm("Confirmation", "Stop all conversions?")) {
    session_.Resume();
    return;
  }
  ProgressText = "0%";
  FrameCountLine.clear();
  Changed();
  session_.Stop();
  EnableControls();
}

int32_t TMainWindowModel::ProgressPercent(int32_t current_duration, int32_t total_duration) {
  if (total_duration <= 0) return 0;
  // 64-bit: a position of more than six hours times 100 leaves 32 bits.
  const int64_t percent = static_cast<int64_t>(current_duration) * 100 / total_duration;
  return static_cast<int32_t>(std::clamp<int64_t>(percent, INT32_MIN, INT32_MAX));
}

void TMainWindowModel::FFConverterProgress(const TProgressInfo& progress) {
  TProgressInfo shown;
  shown.FrameNumber = progress.FrameNumber;
  shown.CurrentDuration = progress.CurrentDuration;
  shown.TotalOutputDuration = progress.TotalOutputDuration;
  converter_.OnProgress(shown);
}

void TMainWindowModel::FFConverterTerminate(int32_t index, bool finished, bool exception,
                                            const std::string& message) {
  converter_.OnTerminate(index, finished, exception, message);
}

void TMainWindowModel::ApplyProgress(const TSplitProgress& progress) {
  FrameCountLine = std::to_string(progress.FrameNumber) + " frames";
  if (progress.TotalOutputDuration > 0) {
    const int32_t percent = ProgressPercent(progress.CurrentDuration, progress.TotalOutputDuration);
    ProgressValue = percent;
    ProgressText = std::to_string(std::min(percent, 100)) + "%";
  }
  Changed();
}

void TMainWindowModel::ApplyEnd() {
  ProgressText = "0%";
  FrameCountLine.clear();
  const std::optional<TSplitEnd>& end = session_.LastEnd();
  if (end && end->SegmentCount > 0) {
    // A list: the first file that does not match, or that all of them do.
    int checked = 0;
    for (size_t i = 0; i < end->Files.size(); ++i) {
      const std::optional<TSplitCheck>& check = end->Files[i].Check;
      if (!check) continue;
      ++checked;
      if (!check->Matched() && !StatusWarning) {
        StatusLine = "Segment " + std::to_string(i + 1) + ": " + check->StatusText();
        StatusWarning = true;
      }
    }
    if (checked > 0 && !StatusWarning) {
      if (end->Files.size() == 1 && JoinSegments) {
        StatusLine = "Check: the joined file matched every segment";
      } else if (checked == 1) {
        StatusLine = "Check: 1 file matched its segment";
      } else {
        StatusLine = "Check: " + std::to_string(checked) + " files matched their segments";
      }
    }
  } else if (end && end->Check) {
    StatusLine = end->Check->StatusText();
    StatusWarning = !end->Check->Matched();
  }
  EnableControls();
  Splitting = false;
  // Before the end message's timer runs: bringing the preview back waits for
  // the player while serving the main thread's queue.
  if (OnRestorePreview) OnRestorePreview();
  if (!CompletionShown) EndMessageTimerEnabled = true;
  Changed();
}

std::string ListEndMessage(const TSplitEnd& end) {
  std::string text;
  if (end.Outcome == TSplitOutcome::Failed) {
    text = kFailed + end.Reason;
  } else if (end.Outcome == TSplitOutcome::Stopped) {
    text = kStopped;
  } else {
    text = kCompleted;
  }
  std::string written;
  for (size_t i = 0; i < end.Files.size(); ++i) {
    const TSplitEnd& file = end.Files[i];
    if (file.OutputPath.empty()) continue;
    written += "\n\r" + file.OutputPath;
    if (file.Outcome == TSplitOutcome::Stopped) written += " (stopped: what was written so far)";
  }
  text += written.empty() ? std::string(kStoppedNothing)
                          : (end.Files.size() == 1 ? "\n\rThe new file is:" : "\n\rThe new files are:") +
                                written;
  return text;
}

void TMainWindowModel::EndMessageTimerFired() {
  if (!EndMessageTimerEnabled) return;
  EndMessageTimerEnabled = false;
  Changed();
  const std::optional<TSplitEnd>& end = session_.LastEnd();
  if (end && end->SegmentCount > 0) {
    messages_.ShowMessage(kInformation, ListEndMessage(*end));
  } else if (end && end->Outcome == TSplitOutcome::Failed) {
    // A task that failed while running says why, rather than "completed".
    messages_.ShowMessage(kInformation, kFailed + end->Reason);
  } else if (end && end->Outcome == TSplitOutcome::Stopped) {
    messages_.ShowMessage(kInformation, std::string(kStopped) +
                                            (end->OutputPath.empty()
                                                 ? std::string(kStoppedNothing)
                                                 : kStoppedKept + end->OutputPath));
  } else if (end && !end->OutputPath.empty()) {
    messages_.ShowMessage(kInformation, kCompleted + (kNewFile + end->OutputPath));
  } else {
    messages_.ShowMessage(kInformation, kCompleted);
  }
  CompletionShown = true;
}

}  // namespace kelvane
