// One conversion task: TCustomFFmpeg holds the complete state of one engine
// instance (settings, opened inputs, added outputs, library option defaults)
// and its control surface; TFFmpeg adds the task's index, the copies of its
// option records and its probe.
//
// Files by concern:
//   FFmpeg.cpp          construction, Reset, release of the conversion state
//   OptionLanguage.cpp  ApplyOptionLines, SetOption and the option table
//   OptionHandlers.cpp  the option handlers and the library options
//   Presets.cpp         ApplyPreset and the targets
//   TaskSetup.cpp       AddTask/SetOutput set-up, OpenInput, AddOutput, New*Stream,
//                       SetHookRanges
//   TaskControl.cpp     Start, Run, DoTerminate, RequestStop, Stop, Pause, Resume,
//                       SetPreviewFlags (the run-control section below)
//   TaskRunHost.h       the task as its run sees it (engine/core/RunHost.h)
//
// Ownership: the task list owns its tasks; a task owns its state (the pending
// settings of TaskState.h and the records of engine/core/TaskRecords.h) and
// OptionDefaults. The run (engine/core) reads that state through the task's
// run host and owns its own run tables.
//
// Threads: set-up runs on the thread calling AddTask/SetOutput (the main
// thread); the run on the task's worker thread (or the caller's in a
// synchronous run). StopRequested is written by stopping threads and polled by
// the run. The callback slots are filled before the task starts and only read
// while it runs.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "binding/FrameHook.h"
#include "engine/ConverterEvents.h"
#include "engine/OptionRecords.h"
#include "engine/TaskState.h"

namespace kelvane {

class TOptionDefaults;
class TAVProbe;
class TConvertThread;
class TPreviewer;

// Which lines of an option text ApplyOptionLines applies.
enum TOptionGroup : int {
  ogGeneral,    // every name not in the two groups below
  ogNewStream,  // newvideo, newaudio, newsubtitle
  ogPreset,     // apre, vpre, spre
};

// The group an option name belongs to.
TOptionGroup OptionGroupOf(const std::string& name);

// The decoders the options force on an input, by kind (null: found by codec id).
using TForcedDecoders = std::array<const AVCodec*, 3>;

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // Re-initialises the conversion state (when the engine libraries are
  // loaded) and clears the control flags; TotalOutputDuration := -1.
  void Reset();
  // Frees everything the set-up and a run left: output files (removing
  // empty ones from disk), input files, option contexts, texts.
  virtual void ReleaseState();

  // ---- Option language (OptionLanguage.cpp, OptionHandlers.cpp, Presets.cpp) ----
  // Splits `text` into lines and applies the lines of `group` in order; the
  // first failing line raises and the rest are not applied.
  void ApplyOptionLines(const std::string& text, TOptionGroup group);
  // Runs the named option's handler; an unknown name goes to SetOptionDefault.
  void SetOption(const std::string& name, const std::string& value);
  // A library-declared option: stored on the option-default templates, or
  // kept for the private options of the chosen encoder. False when nothing
  // knows the name or the value is refused (then logged).
  bool SetOptionDefault(const std::string& name, const std::string& value);
  // apre/vpre/spre: kind 'a', 'v' or 's'.
  void ApplyPreset(char kind, const std::string& name);
  // target: "[pal-|ntsc-|film-]type"; fallback_norm "pal", "ntsc" or "film".
  void ApplyTarget(const std::string& value, const std::string& fallback_norm);
  // Forced formats (FileFormat fields and "f").
  void SetInputFormat(const std::string& name);
  void SetOutputFormat(const std::string& name);
  void SetInputOrOutputFormat(const std::string& name);
  // The library's name for a format option's value: "pgmyuv", an old name of
  // the image reader, is image2 with the pgmyuv decoder (Pending.pgmyuv).
  std::string LibraryFormatName(const std::string& name);

  // ---- Set-up (TaskSetup.cpp) ----
  // Opens and probes one input with the pending settings. False with LastError set.
  bool OpenInput(const std::string& file_name);
  // Adds one output file with its streams. Number of output files, or -1 with LastError set.
  int AddOutput(const std::string& file_name, bool join);
  void NewVideoStream(TOutputFile& file);
  void NewAudioStream(TOutputFile& file);
  const AVCodecParameters* SmartSoundToEncode(const AVOutputFormat* format) const;
  void NewSubtitleStream(TOutputFile& file);
  void SetHookRanges(const std::string& text);

  // ---- State read by the run ----
  TPendingSettings Pending;
  TRunSettings Settings;
  std::vector<std::unique_ptr<TInputFile>> InputFiles;
  // One entry per added output file. In join mode the single output file is
  // fed by every input file in turn (group k of output streams takes input k).
  std::vector<std::unique_ptr<TOutputFile>> OutputFiles;
  std::vector<TStreamMapEntry> StreamMaps;
  std::vector<TMetaDataMap> MetaDataMaps;
  std::unique_ptr<TOptionDefaults> OptionDefaults;

  // Frame hooks (vhook plug-ins) and the ranges that govern them.
  TFrameHookChain FrameHooks;
  bool FrameHooksActive = false;
  std::vector<THookRange> HookRanges;
  int HookRangeIndex = 0;
  THookAction HookAction = haContinue;

  int32_t Verbosity = 1;

  // ---- Control state ----
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Terminated{false};
  std::atomic<bool> ErrorOccurred{false};
  std::string ErrorMessage;  // written by the run before DoTerminate
  TCutReport CutReport;      // what a smart copy did (written by the run, read after it)
  std::string LastError;     // last set-up failure (opening input or output)
  std::atomic<int32_t> TotalOutputDuration{-1};  // ms, -1 unknown
  int64_t ProgressInterval = 500000;  // µs
  int64_t PreviewInterval = 100000;   // µs
  uint8_t PreviewFlags = 0;  // bit 0: preview window, bit 1: preview bitmaps (PreviewLock)

  // Callback slots, filled by the component; an empty slot is skipped. Each
  // receives the task first.
  std::function<void(TCustomFFmpeg& task, int64_t pts, THookAction& action)> BeforeHookSlot;
  // The frame's and the progress's Index is left for the component to fill.
  std::function<void(TCustomFFmpeg& task, THookedFrame& frame)> CustomHookSlot;
  std::function<void(TCustomFFmpeg& task, TBitmap* bitmap, int32_t frame_number, int64_t pts)>
      PreviewBitmapSlot;
  std::function<void(TCustomFFmpeg& task, const TProgressInfo& progress)> ProgressSlot;
  std::function<void(TCustomFFmpeg& task)> TerminateSlot;

  // Logs a message with this task as sender.
  void Log(TLogLevel level, const std::string& text) const;

  // ---- Run control: engine/TaskControl.cpp ----
  // Starts the task: none when it ran or terminated already, or when it has no
  // input or output (then the terminate callback comes from inside Start).
  // Threaded: returns the worker, created suspended, for the caller to Resume.
  // Not threaded: runs the whole conversion before returning none.
  TConvertThread* Start(bool threaded, TConvertPriority priority);
  // The whole conversion: the run, error capture, release of the state, DoTerminate.
  void Run();
  // Marks the task terminated and makes the terminate callback.
  void DoTerminate();
  // Asks the run to stop; with wait, returns when the worker has left the task.
  void RequestStop(bool wait);
  // RequestStop for a running task; the terminate callback for one that never
  // ran; with wait, also waits for a finishing worker.
  void Stop(bool wait);
  // Holds the worker at its next safe point / lets it go on. Threaded runs only.
  void Pause();
  void Resume();
  bool Paused() const;
  // Under PreviewLock: stores the flags (closing the preview window when bit 0
  // goes off).
  void SetPreviewFlags(uint8_t flags);
  // The same with PreviewLock already held (the preview step).
  void StorePreviewFlagsLocked(uint8_t flags);
  // The run's safe point: blocks while paused (until Resume or a stop request).
  void WaitWhilePaused();
  // Whether the worker thread has left the task for good (or there is none).
  bool WorkerGone() const;
  // Called by the worker as its very last touch of the task.
  void WorkerLeft();
  // The task's preview window (preview flag bit 0), made on the first preview
  // (engine/VideoTaskHost.h); closed and freed when bit 0 goes off.
  // Guarded by PreviewLock.
  std::shared_ptr<TPreviewer> PreviewWindow;

 private:
  // Waits (serving the main-thread queue on the main thread) until WorkerGone.
  void WaitForWorker();

  mutable std::mutex control_mutex_;
  std::condition_variable pause_changed_;
  // Guarded by control_mutex_.
  bool paused_ = false;
  TConvertThread* convert_thread_ = nullptr;  // cleared by DoTerminate
  bool worker_inside_ = false;                // set at Start, cleared by WorkerLeft

 public:
  // ---- end of run control ----

  // ---- Option handlers with more than a line of work (OptionHandlers.cpp) ----
  void SetStatisticsFile();  // "vstats": a name made of the program folder and the time
  void SetBitRate(const std::string& name, const std::string& value);
  void SetCodecName(TStreamKind kind, const std::string& value);
  void SetCodecTag(TStreamKind kind, const std::string& value);
  void SetFrameSize(const std::string& value);
  void SetFrameRate(const std::string& value);
  void SetAspectRatio(const std::string& value);
  void SetCrop(const std::string& name, const std::string& value);
  void SetPad(const std::string& name, const std::string& value);
  void SetPadColor(uint32_t rgb);
  void SetQScale(const std::string& value);
  void SetPixelFormat(const std::string& value);
  void SetSampleFormat(const std::string& value);
  void SetPass(const std::string& value);
  void SetMatrix(std::vector<uint16_t>& matrix, const std::string& value);
  void SetStreamMap(const std::string& value);
  void SetMetaDataMap(const std::string& value);
  void SetTsScale(const std::string& value);
  void SetMetadata(const std::string& value);
  void SetFrameHook(const std::string& value);
  void SetBitstreamFilter(const std::string& name, const std::string& value);
  void SetLogLevel(const std::string& value);
  void NewStreamOption(TStreamKind kind);
  // True when `name` is an option of `codec`'s own class (private options).
  bool CodecPrivateOption(const AVCodec* codec, const std::string& name,
                          const std::string& value, bool& refused);
  void ApplyPrivateOptions(TOutputStream& stream);

 protected:
  void InitState();  // the defaults of every setting (Reset without freeing)

 private:
  // ---- Steps of the set-up (TaskSetup.cpp) ----
  AVDictionaryPtr InputParameters() const;
  TForcedDecoders ForcedDecoders() const;
  void PrepareInputContext(AVFormatContext* prepared, const TForcedDecoders& forced) const;
  void SetUpInputStream(TInputStream& in, AVFormatContext* ic, unsigned index,
                        const TForcedDecoders& forced);
  void TakeInputVideo(AVFormatContext* ic, unsigned index, AVCodecContext* dec);
  void AddInputFile(std::unique_ptr<TInputFile> file, int64_t timestamp);
  std::string FilterConflict() const;
  std::string StreamKinds(const AVOutputFormat* format, bool join, std::array<bool, 3>& use) const;
  std::string OpenOutputFile(TOutputFile& file) const;
  void SetOutputMetadata(AVFormatContext* oc);
  void ConfigureMuxer(AVFormatContext* oc) const;
  AVCodecID ChooseEncoder(TOutputStream& out, const TOutputFile& file, TStreamKind kind);
  TOutputStream BeginStream(TOutputFile& file, TStreamKind kind, AVCodecID& codec_id);
  void FinishStream(TOutputFile& file, TOutputStream out, TStreamKind kind);
  void ConfigureVideoPictures(TOutputStream& out);
  void ConfigureVideoRates(TOutputStream& out);

  // The kind whose encoder is asked first for its own options (inside a preset).
  int preferred_kind_ = -1;
};

class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg();
  ~TFFmpeg() override;
  // Lets go of the probe's view of the input before the inputs go.
  void ReleaseState() override;

  // AddTask's steps after the task was created: the input record applied
  // (null: reset to defaults), the input opened. False with LastError set;
  // option errors raise FFmpegException.
  bool SetUpInput(const std::string& file_name, const TInputOptions* options);
  // SetOutput's steps: the output record, its options, presets, hooks and the
  // new output file (null record: defaults, no option lines). False with
  // LastError set; option errors raise FFmpegException. `connect_hooks` is
  // called with (custom, before) to let the component fill the hook slots.
  bool SetUpOutput(const std::string& file_name, const TOutputOptions* options,
                   const std::function<void(bool custom, bool before)>& connect_hooks);

  int32_t Index = -1;
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  std::unique_ptr<TAVProbe> Probe;

 private:
  // The parts of an output record SetUpOutput applies (TaskSetup.cpp).
  void ApplyOutputAudio(const TOutputOptions& o);
  void ApplyOutputVideo(const TOutputOptions& o);
  void ApplyOutputTimes(const TOutputOptions& o);
  void ApplyOutputMetadata(const TStreamInfo& m);
};

}  // namespace kelvane
