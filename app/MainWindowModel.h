// The main window's state and logic without a toolkit: the fields of the
// window, its lists as TListModel, the texts of its panels, and the handlers
// the controls and the conversion component call. The Qt window binds its
// widgets to these members and forwards clicks; the command line and the tests
// drive the same handlers.
//
// Ownership: the model owns the conversion component (and through it the
// probe and the task) and the split session that runs splits on it. Messages
// go to the TMessageSink given at construction, which must outlive the model.
//
// Threads: everything here runs on the main thread. The split session carries
// the component's progress and end to the main thread (see TSplitSession).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ListModel.h"
#include "app/MessageSink.h"
#include "app/Quality.h"
#include "app/SegmentList.h"
#include "app/SettingsStore.h"
#include "app/SplitJob.h"
#include "app/SplitSession.h"
#include "engine/FFConverter.h"

namespace kelvane {

// The end message of a segment list: how it went, then one line per file
// written ("The new files are:"), a stopped segment's file marked as such.
std::string ListEndMessage(const TSplitEnd& end);

// The mark the time-edit dialog edits.
enum class TEditedMark { None, Start, End };

class TMainWindowModel {
 public:
  explicit TMainWindowModel(TMessageSink& messages);
  ~TMainWindowModel();
  TMainWindowModel(const TMainWindowModel&) = delete;
  TMainWindowModel& operator=(const TMainWindowModel&) = delete;

  // ---- Window state ----
  bool Splitting = false;        // a split runs and has not reported its end
  bool CompletionShown = false;  // the current split's end message was shown
  bool PreviewPaused = false;
  TEditedMark EditedTime = TEditedMark::None;  // mark the time-edit dialog edits
  int64_t PlayPosition = 0;      // µs
  std::string PlayingFile;
  TPictureSize SourceSize;      // as stored
  int32_t SourceRotation = 0;   // clockwise turn that shows the source upright
  TWholeFrameRate SourceFrameRate = -1;  // whole frames per second; -1 unknown
  std::string SourceDuration;   // whole seconds
  int64_t SourceDurationUs = -1;  // the same in µs; -1 unknown
  std::string ContainerName;    // of the chosen preset, "3GP", ...
  int32_t LastFormatIndex = 0;
  int32_t VideoQualityIndex = 0;
  int32_t AudioQualityIndex = 0;
  int32_t SavedTop = 0;   // window position read from the stored settings; the
  int32_t SavedLeft = 0;  // window still opens centred
  // The window's current position, kept up to date by the view; stored on close.
  int32_t FormTop = 0;
  int32_t FormLeft = 0;

  // ---- Control contents ----
  std::string EditInputFilename;
  std::string EditOutputFolder;
  std::string StartMarkText = "0.00";  // start mark
  std::string EndMarkText = "0.00";    // end mark
  std::string PositionText = "0.00";   // preview position
  // A mark set from the player: the panel's text it was set with and the
  // exact time (µs): where the picture begins for the start mark, where it
  // ends for the end mark. Used by the split while the panel still shows that
  // text.
  struct TExactMark {
    std::string Text;
    int64_t Time = -1;
  };
  TExactMark ExactStart;
  TExactMark ExactEnd;
  // The segments to split in one go. Empty: Start splits the marked segment;
  // else it splits the list, one file per segment or, with JoinSegments, one
  // file of the segments in list order with a chapter at each join.
  TSegmentList Segments;
  bool JoinSegments = false;
  std::string ProgressText = "0%";
  // "Ready", or how the last split's output compared with its source.
  std::string StatusLine = "Ready";
  // The last split's output does not match its source: the view shows
  // StatusLine as a warning.
  bool StatusWarning = false;
  std::string FrameCountLine;  // frame count of a running split
  int32_t ProgressValue = 0;   // 0..100 (a larger value shows a full bar)
  int32_t SpinVolume = 100;  // 0..200
  bool Overwrite = false;        // preferences: "Overwrite Existing File with same name"
  bool PlayImmediately = true;   // preferences: "Play video file immediately after opening"
  // False between DisableControls and EnableControls: the settings pages, ButtonStart,
  // ButtonMarkStart, ButtonMarkEnd, ButtonPlay, ButtonPause, buttonStop and the
  // top-level menu items. Every other control stays usable.
  bool ControlsEnabled = true;
  // The one-shot 100 ms timer that shows the end message: the view runs a
  // timer while this is true and calls EndMessageTimerFired when it fires.
  bool EndMessageTimerEnabled = false;

  TListModel ComboOutputFormat;
  TListModel ComboVideoQuality;
  TListModel ComboAudioQuality;
  TListModel ComboVideoSizeMirror;
  TListModel ComboLetterBox;
  TListModel ComboVideoCodec;
  TListModel ComboAudioCodec;
  TListModel ComboVideoBitrate;
  TListModel ComboVideoSize;
  TListModel ComboVideoFramerate;
  TListModel ComboAudioBitrate;
  TListModel ComboSamplingRate;
  TListModel ComboAudioChannels;

  // The conversion component. Its progress and end events belong to the
  // split session; a view paints preview frames by setting OnPreviewBitmap,
  // which the component calls on the main thread.
  TFFConverter& Converter() { return converter_; }
  // Runs the splits Start builds; its end report says how the last one went.
  TSplitSession& Session() { return session_; }

  // The folder FormCreate was given: where the program's libraries are.
  const std::string& ProgramFolder() const { return program_folder_; }

  // Called after a handler changed any field above (the lists report their own
  // changes), so that a view can refresh.
  std::function<void()> OnStateChange;
  // Stops the preview player and waits for it; run before every split.
  std::function<void()> OnStopPreview;
  // Brings the preview back as OnStopPreview found it, once the split is over
  // (ended, or refused before it began).
  std::function<void()> OnRestorePreview;
  // A mark was typed in the time-edit dialog: `which` one, at `time` µs; the
  // view shows the picture there in the mark's thumbnail.
  std::function<void(TEditedMark which, int64_t time)> OnMarkTyped;
  // Asks the view to repaint the preview panel.
  std::function<void()> OnRepaintPlay;

  // Tells the view that fields changed (OnStateChange).
  void Changed();

  // ---- Start-up ----
  // Loads the engine's libraries from `program_folder` when they are not
  // loaded (a message when that fails, and the lists stay empty), fills the
  // format list and the settings lists and the letterbox list.
  void FormCreate(const std::string& program_folder);

  // ---- Stored settings ----
  // Reads the stored values into the window (after FormCreate). List choices
  // are stored as their texts; an index stored by an earlier version still
  // reads, as the entry of the list as it was then. The first of the first
  // nine values that is missing or mistyped ends the reading: the format
  // list then shows DefaultFormat(), both quality lists "Normal", and every
  // value is written back so that the next start finds
  // them. The detailed settings and the volume follow; a missing one leaves
  // the format's own choice.
  void LoadSettings(TSettingsStore& store);
  // Writes the values in their order; the first failure ends the writing.
  void SaveSettings(TSettingsStore& store);

  // ---- Format list and settings lists ----
  void FillOutputFormats();
  void FillLetterBoxList();  // "None", "Add LetterBox", the latter selected
  void ComboOutputFormatChange();
  void FillSettingsLists();
  // Shared by the two quality lists and the two bitrate lists: `changed` is
  // the list the user changed; the other list of its pair follows it.
  void ComboVideoQualityChange(const TListModel& changed);
  // Selects quality levels (-1: leaves that list as it is) and the bitrates
  // that go with them.
  void SelectLevels(int video, int audio);
  // Shared by ComboVideoSize and ComboVideoSizeMirror.
  void ComboVideoSizeChange(const TListModel& changed);
  bool IsAudioOnly() const;
  // The settings lists were filled for "Same as Source - Lossless (*.*)":
  // they say "Same as source" and cannot be changed.
  bool SameAsSourceChosen() const;
  // The index of "Normal" in the quality lists.
  static int NormalLevel();

  // ---- Controls ----
  void DisableControls();
  void EnableControls();

  // ---- Opening a file and the marks ----
  // Opens `path` with the component's probe and reads the source facts. False,
  // with a message saying why, when the probe cannot read it or it has no
  // video stream; the path stays in EditInputFilename either way. The marks'
  // texts stay; the pictures they were set on belong to the file shown before,
  // so from now on they are typed times. Playing it when PlayImmediately is
  // ticked is the view's part.
  bool AddVideoFile(const std::string& path);
  // Shows a player position (µs) in PositionText and follows it.
  void PlayerPosition(int64_t pts);
  void ButtonMarkStartClick();
  void ButtonMarkEndClick();
  // Mark Start (`which` 1) or Mark End (2) at the picture the player shows,
  // whose time is `time` µs and which stays `duration` µs: the segment begins
  // with that picture, or ends with it (at `time` + `duration`, or at `time`
  // when the duration is unknown). The panel shows the mark with two
  // decimals and the split uses the exact time.
  void SetMarkAt(int which, int64_t time, int64_t duration = -1);
  void ButtonClearMarksClick();

  // ---- Time-edit dialog ----
  // "Edit Start Time" / "Edit End Time": which mark the dialog edits.
  void EditStartTimeClick() { EditedTime = TEditedMark::Start; }
  void EditEndTimeClick() { EditedTime = TEditedMark::End; }
  // The text the dialog opens with: the edited mark's panel.
  std::string TimeEditText() const;
  // The dialog's hint line as it opens: the forms a time may take.
  static std::string TimeEditHint();
  // A key typed into the dialog's field holding `text`: true when it may go
  // in (backspace, digits, ":" and one "."). `label` is the dialog's hint
  // line: emptied first, the hint when the key is refused.
  static bool TimeEditKeyAllowed(const std::string& text, char key, std::string& label);
  // "Done": a time in one of the forms kelvane-split reads (MarkTime.h)
  // becomes the edited mark, written as the panels write marks; an end past
  // the end of the file becomes the end, with a notice. False, with the reason
  // in `refusal`, for another form, a start past the end of the file, or a
  // mark on the wrong side of the other one (an end mark of 0.00 is "not set
  // yet" for a typed start).
  bool TimeEditDone(const std::string& text, std::string& refusal);

  // ---- Split ----
  void ButtonOutputFolderClick();
  void ButtonStartClick();
  void ButtonStopSplitClick();
  bool CheckBeforeRip();
  // Builds the one task from the window and starts it; abandons the split
  // (with a message saying why) when that fails.
  void FFGoConvert();
  // The split the window describes right now.
  TSplitJob MakeSplitJob() const;
  // The line under the format list: what the file would be with the current
  // choices (ExplainSplit of the plan the split would run: of the segment
  // list while it has segments, else of the marks); empty while the choices
  // make no plan. Worked out again only when the choices changed: a view may
  // ask at every refresh.
  std::string OutputExplanation() const;
  // The output path of the split that runs (or ran) last.
  const std::string& LastOutputPath() const { return session_.OutputPath(); }

  // Component events, as the component raises them (through the session):
  // their effects happen on the main thread. The progress shown reads the
  // frame number and the durations only.
  void FFConverterProgress(const TProgressInfo& progress);
  void FFConverterTerminate(int32_t index, bool finished, bool exception,
                            const std::string& message);
  // The end message timer fired: the one end message of the split (for a segment list,
  // ListEndMessage).
  void EndMessageTimerFired();

  // The progress percentage shown for a position and a total (ms): truncated,
  // capped at 100 for the text; the bar takes the uncapped value.
  static int32_t ProgressPercent(int32_t current_duration, int32_t total_duration);

 private:
  // ButtonStartClick after the preview stopped: the checks, then the split.
  void StartSplit();
  // The marks can be split (a message when not).
  bool CheckMarks();
  void ApplyProgress(const TSplitProgress& progress);
  void ApplyEnd();
  void Abandon(const std::string& message);
  void BrowseForFolder();
  void Log(const std::string& text);
  // The lists of "Detailed Output Settings" with the names they are stored under.
  std::vector<std::pair<const char*, TListModel*>> DetailedLists();
  // The twelve settings lists, which are enabled and disabled together.
  std::array<TListModel*, 12> SettingsLists();
  // FillSettingsLists for a format of today: its lists as written out.
  void FillTodayLists(const TTodayFormat& format);
  // Disables the settings lists while "Same as Source" is chosen (or the
  // controls are disabled), enables them otherwise.
  void LockSameAsSourceLists();

  TMessageSink& messages_;
  TFFConverter converter_;
  TSplitSession session_{converter_};  // goes before the component it uses
  std::string program_folder_;
  // The format the settings lists were filled for.
  std::string lists_format_;
  // The last explanation and the choices it was worked out for.
  mutable std::string explained_job_;
  mutable std::string explanation_;
  // The smart copies' forecasts read so far for the explanation, by cut, of
  // the file and output name they were read for: a list that changed reads
  // only its new segments.
  std::vector<TSmartCutForecast> ForecastCuts(
      const std::string& input, const std::string& output,
      const std::vector<std::pair<int64_t, int64_t>>& cuts) const;
  mutable std::string forecast_input_;
  mutable std::string forecast_output_;
  mutable std::map<std::pair<int64_t, int64_t>, TSmartCutForecast> forecasts_;
};

}  // namespace kelvane
