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
  forecasts_.clear();  // the file may have changed since
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
  SourceSize = {video.Width, video.Height};
  SourceRotation = video.Rotation > 0 ? video.Rotation : 0;
  if (video.FrameRateNum > 0 && video.FrameRateDen > 0) {
    // Halves go to the even neighbour (the default rounding mode).
    const double rate = static_cast<double>(video.FrameRateNum) / video.FrameRateDen;
    SourceFrameRate = static_cast<TWholeFrameRate>(std::nearbyint(rate));
  } else {
    SourceFrameRate = -1;  // unknown: an "Auto" frame rate then stays unset
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
  TSplitJob job = MakeSplitJob();
  if (!job.Segments.Empty()) {
    // The list is split, not the marks: moving them changes nothing here.
    job.StartMark = job.EndMark = "0.00";
    job.StartExactUs = job.EndExactUs = -1;
  }
  // Planning asks the codec library which sizes an encoder takes, which
  // opens it: only when a choice changed.
  const std::string key = job.Describe() + "\n" + std::to_string(job.SourceRotation) + " " +
                          std::to_string(job.StartExactUs) + " " + std::to_string(job.EndExactUs);
  if (key == explained_job_) return explanation_;
  TSplitPlan plan;
  std::string message;
  explanation_ =
      BuildSplitPlan(job, plan, message)
          ? ExplainSplit(job, plan, [this](const std::string& input, const std::string& output,
                                           const std::vector<std::pair<int64_t, int64_t>>& cuts) {
              return ForecastCuts(input, output, cuts);
            })
          : std::string();
  explained_job_ = key;
  return explanation_;
}

std::vector<TSmartCutForecast> TMainWindowModel::ForecastCuts(
    const std::string& input, const std::string& output,
    const std::vector<std::pair<int64_t, int64_t>>& cuts) const {
  if (input != forecast_input_ || output != forecast_output_) {
    forecasts_.clear();
    forecast_input_ = input;
    forecast_output_ = output;
  }
  std::vector<std::pair<int64_t, int64_t>> missing;
  for (const auto& cut : cuts)
    if (forecasts_.count(cut) == 0) missing.push_back(cut);
  if (!missing.empty()) {
    const std::vector<TSmartCutForecast> read = ForecastSmartCuts(input, output, missing);
    // A source that cannot be read is not remembered: it may be readable later.
    if (!read.front().Error.empty()) return read;
    for (size_t i = 0; i < missing.size(); ++i) forecasts_[missing[i]] = read[i];
  }
  std::vector<TSmartCutForecast> forecasts;
  for (const auto& cut : cuts) forecasts.push_back(forecasts_.at(cut));
  return forecasts;
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
