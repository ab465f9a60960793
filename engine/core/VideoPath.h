// The video path of a run: what happens to each decoded picture.
//
// Input side (RunFrameHooks, every decoded picture, copied streams included):
// the application's before-hook and custom-hook callbacks, the hook time
// ranges, deinterlacing and the task's frame-hook plug-in chain; each may
// change the picture in place.
//
// Output side (Output, per output stream that re-encodes video): the sync
// method decides how often the picture is encoded (0 = drop, more than 1 =
// duplicate); the picture is cropped (plane-pointer offsets), scaled (swscale,
// re-made when the input geometry changes) and padded (own border fill in the
// pad colour); it is encoded, every packet written, offered for preview, and a
// statistics line and the pass-1 log text written when asked. With a filter
// graph the pictures arrive already scaled from the graph's sink; only padding
// is left to do here.
//
// Entry points for the run (engine/core/Transcoder.*):
//   TVideoPath path(settings, host, writer)      once per run
//   path.RunFrameHooks(ist, picture)             after decoding, before output
//   path.Output(ost, ist, picture)               per picture and encoding stream;
//                                                returns the bytes of the last packet
//   path.Drain(ost)                              at the end of the stream's input
// The per-stream objects (TempPicture, ScaleContext, crop/pad fields,
// SyncOpts, FrameNumber, LogFile) live in TOutputStreamState; the path keeps
// the hook work picture, the two frame converters and the statistics file.
//
// Threads: the task's worker only. The preview step holds the host's preview
// lock for its whole length, including a wait for the main thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/Bitmap.h"
#include "binding/FrameConverter.h"
#include "engine/core/HookAction.h"
#include "engine/core/RunTables.h"

namespace kelvane {

// The settings the video path reads (the task's run settings).
struct TVideoPathSettings {
  int SyncMethod = -1;          // -1 automatic, 0 none, 1 drop/dup, 2 drop/dup within VFR
  int64_t StartTime = 0;        // µs
  bool Deinterlace = false;
  bool SameQuality = false;
  int MeThreshold = 0;
  int TopFieldFirst = -1;       // -1: from the input picture
  int SwsFlags = SWS_BICUBIC;
  uint8_t PadColor[3] = {16, 128, 128};  // Y, Cb, Cr
  int32_t MaxFrames = INT32_MAX;         // video frame limit
  bool FiltersInUse = false;
  bool ExitOnError = false;
  int Verbosity = 1;
  std::string StatisticsFile;  // "vstats" file name; empty: none
  int64_t PreviewInterval = 100000;  // µs
};

// A time range (µs) in which the frame hooks apply.
struct TVideoHookRange {
  int64_t Start = 0;
  int64_t End = 0;
};

// A picture offered for preview: the bitmap, its number among the hooked
// pictures and its output time (µs).
struct TPreviewPicture {
  TBitmap* Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = 0;
};

// What the video path needs of its task: the callback slots, the hook state,
// the preview flags, the plug-in chain and the stop flag. The engine implements
// it over its task (engine/VideoTaskHost.h) and hands it to the run through
// TRunHost::MakeVideoHost; tests implement it directly.
class TVideoHost {
 public:
  virtual ~TVideoHost() = default;

  virtual const void* LogSender() const = 0;
  virtual bool StopRequested() const = 0;
  virtual AVFormatContext* OutputContext(const TOutputStreamState& ost) const = 0;

  // Callback slots; an empty slot is skipped.
  virtual bool HasBeforeHook() const = 0;
  virtual void BeforeHook(int64_t pts, THookAction& action) = 0;
  virtual bool HasCustomHook() const = 0;
  // The hook's answers are written into `picture` (also when it throws).
  virtual void CustomHook(THookPicture& picture) = 0;
  // Empties the custom-hook slot for the rest of the task.
  virtual void ClearCustomHook() = 0;
  virtual bool HasPreviewBitmap() const = 0;
  virtual void PreviewBitmap(const TPreviewPicture& picture) = 0;

  // Hook state of the task: the frame-hook flag, the hook action, the ranges
  // and the index of the current range.
  virtual bool& FrameHooksActive() = 0;
  virtual THookAction& HookAction() = 0;
  virtual const std::vector<TVideoHookRange>& HookRanges() const = 0;
  virtual int& HookRangeIndex() = 0;
  // Runs the task's plug-in chain over a picture.
  virtual void ProcessFrameHooks(AVFrame* picture, int64_t pts) = 0;

  // The preview lock, the flags it guards (bit 0: preview window, bit 1:
  // preview bitmaps) and the task's preview window.
  virtual std::mutex& PreviewMutex() = 0;
  virtual uint8_t PreviewFlagsLocked() const = 0;
  virtual void StorePreviewFlagsLocked(uint8_t flags) = 0;
  // Shows a bitmap in the task's preview window (made on first use); false
  // once the user closed it.
  virtual bool ShowPreview(const TPreviewPicture& picture) = 0;
};

// How often a picture is encoded, and the output position afterwards.
struct TVideoSyncInput {
  int SyncMethod = -1;
  double TimeBase = 0;    // the encoder's, in seconds
  double Ipts = 0;        // seconds since the start time
  int64_t SyncOpts = 0;   // output position, frames
  bool VariableFrameRate = false;  // the output format takes variable frame rates
};
struct TVideoSyncStep {
  int Count = 1;          // 0 drop, 1 once, n > 1 duplicate n - 1 times
  int64_t SyncOpts = 0;   // the position after the decision (before encoding)
};
TVideoSyncStep ComputeVideoSync(const TVideoSyncInput& in);

// A crop band recomputed for a new picture size: size × initial band /
// initial size, rounded down to an even number.
int ScaleCropBand(int new_size, int initial_band, int initial_size);

// Makes `view` show `picture` from (top, left) on, sharing its buffers. False
// when the format has no plane layout for it or the offsets break its chroma grid.
bool CropPicture(AVFrame* view, const AVFrame* picture, int top, int left, int width,
                 int height);

// Fills the borders of `picture` (width × height overall) outside the inner
// rectangle with the Y/Cb/Cr colour. Formats without YUV planes get black.
void FillBorders(AVFrame* picture, int top, int bottom, int left, int right,
                 const uint8_t color[3]);

// Line-blend deinterlacer: keeps the even lines, rebuilds the odd ones from
// their neighbours (-1 4 2 4 -1)/8. Planar YUV and gray formats whose size is
// a multiple of 4; false otherwise (the picture is then left alone).
bool DeinterlacePicture(AVFrame* target, const AVFrame* source);

class TVideoPath {
 public:
  using TPacketWriter = std::function<void(TOutputStreamState& ost, AVPacket* packet)>;

  TVideoPath(const TVideoPathSettings& settings, TVideoHost& host, TPacketWriter writer);
  ~TVideoPath();
  TVideoPath(const TVideoPath&) = delete;
  TVideoPath& operator=(const TVideoPath&) = delete;

  // The frame-hook stage for one decoded picture with the stream's Pts. The
  // picture's planes are replaced when a hook produced a new picture.
  void RunFrameHooks(TInputStreamState& ist, AVFrame* picture);

  // Encodes `picture` for `ost` as often as the sync decides. Returns the size
  // of the last packet written (0 if none). Raises FFmpegException on fatal
  // failures ("Video encoding failed", "Cannot get resampling context", ...).
  int Output(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* picture);

  // The run's cut begins at `start` (µs of input time, its first picture)
  // rather than at the start time: the sync arithmetic counts from there.
  void StartAt(int64_t start) { settings_.StartTime = start; }

  // End of input: the encoder's delayed packets.
  void Drain(TOutputStreamState& ost);

  // Counters of the run.
  uint64_t VideoSize = 0;
  int32_t DupFrames = 0;
  int32_t DropFrames = 0;
  // Decoded pictures that reached the frame hooks (numbers hooks and previews).
  int32_t HookFrameNumber = 0;

 private:
  void CustomHook(AVFrame* picture, int64_t pts);
  void StopHook();
  bool PreparePicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* in,
                      AVFrame*& final_picture);
  void CheckGeometry(TOutputStreamState& ost, const TInputStreamState& ist, const AVFrame* in);
  void EnsureTempPicture(TOutputStreamState& ost);
  bool ReportPictureError(const char* text);
  void EncodePicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* source,
                     const AVFrame* in, int& last_size);
  void ReceivePackets(TOutputStreamState& ost, std::vector<int>* sizes);
  void Preview(const AVFrame* picture, const AVCodecContext* enc, int32_t rotation);
  void WriteStatistics(TOutputStreamState& ost, int size);
  void LogAt(int level, const std::string& text);

  TVideoPathSettings settings_;
  TVideoHost& host_;
  TPacketWriter writer_;
  AVFramePtr hook_picture_;  // the hook work picture
  TFrameConverter hook_converter_;
  TFrameConverter preview_converter_;
  SwsContextPtr preview_turn_scaler_;  // formats converted before a preview is turned
  int64_t last_preview_ = 0;
  TCFilePtr statistics_;  // the statistics file ("vstats"), opened on the first frame
  AVPictureType coded_pict_type_ = AV_PICTURE_TYPE_NONE;  // of the last packet
  // Timestamp of the last picture sent to each encoder (shared in join mode).
  std::map<const AVCodecContext*, int64_t> last_pts_;
  AVFramePtr crop_view_;
  AVFramePtr scale_view_;
  AVFramePtr encode_frame_;
  AVPacketPtr packet_;
};

}  // namespace kelvane
