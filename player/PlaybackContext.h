// One open file being played: the machinery behind TCustomPlayer.
//
//   reader thread        opens the file, chooses and opens the streams, then
//                        demultiplexes into the two packet queues and performs
//                        seek requests (PlaybackContext.cpp)
//   video decode thread  decodes pictures, drops those before a seek's target,
//                        converts each to the display rectangle and puts it into
//                        the one-picture queue (VideoDecoder.cpp)
//   sound callback       SDL's audio thread: decodes sound, brings it to packed
//                        signed 16-bit, mixes it at the volume (AudioOutput.cpp)
//   event loop           the player's play thread: refresh cycle, frame timing
//                        against the sound clock, display, position tick, end
//                        detection (VideoDisplay.cpp)
//
// Sound is the master clock when the file has sound and a device opened;
// otherwise the pictures keep their own time.
//
// Ownership: the player holds the context in a shared pointer while it plays;
// the play thread, the stop thread and the probe's attachment hold it too, so
// the memory (and the open file, closed by the destructor) lives until the last
// of them lets go. End stops every thread of the context and closes the
// decoders; it runs once, on whichever thread gets there first.
//
// Locks, outermost first: end_mutex_, loop_mutex_, then one of seek_mutex_,
// picture_mutex_, clock_mutex_, audio_mutex_, shown_mutex_ (never two of these
// together), then the packet queues' own locks, then CodecLock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FrameConverter.h"
#include "binding/ThreadOwner.h"
#include "binding/UnicodeProtocol.h"
#include "player/DisplayTarget.h"
#include "player/PacketQueue.h"
#include "player/PlayerEventQueue.h"

namespace kelvane {

class TCustomPlayer;
class TSDLWindowDisplay;
struct TPlaybackStatistics;
struct TShownFrame;

// A decoded picture on its way to the display.
struct TPicture {
  // Upright, at the decoder's size turned as the stream asks (BGR24 after a
  // hook drew on it); never written once decoded, so shared by the slot, the
  // shown picture and captures.
  std::shared_ptr<AVFrame> Source;
  std::shared_ptr<TBitmap> Image;  // converted to Rect's size
  TDisplayRect Rect;
  int32_t AreaWidth = 0;
  int32_t AreaHeight = 0;
  int64_t Pts = 0;       // microseconds of the file's time line
  int64_t Duration = 0;  // microseconds
  int32_t Serial = 0;    // the seek it belongs to
};

class TPlaybackContext {
 public:
  // What the player's settings were when the file was opened.
  struct TSettings {
    std::string FileName;
    bool DisableAudio = false;
    bool DisableVideo = false;
    bool DisableDisplay = false;
    int32_t FrameWidth = 0;
    int32_t FrameHeight = 0;
    TDisplayTarget* Target = nullptr;  // null: a window of the player's own
    uint32_t SDLFlags = 0;             // SDL subsystems started for this file
    std::string AudioInitError;        // why SDL's sound did not start, if it did not
  };

  TPlaybackContext(TCustomPlayer& player, TSettings settings);
  ~TPlaybackContext();
  TPlaybackContext(const TPlaybackContext&) = delete;
  TPlaybackContext& operator=(const TPlaybackContext&) = delete;

  // ---- Main thread ----
  // Starts the reader and waits (draining the main-thread queue) until the
  // file is open and its streams are. False with StartError set otherwise.
  bool Start();
  const std::string& StartError() const { return start_error_; }
  // Set by the file-opened step before the play thread starts: the file's
  // start time (0 when unknown) and duration (-1 when unknown), microseconds.
  void SetTimeLine(int64_t start_offset, int64_t duration);
  int64_t StartOffset() const { return start_offset_.load(); }
  // The reader starts reading once the player has looked at the open file
  // (reading may add streams to it).
  void AllowReading();
  int64_t Duration() const { return duration_.load(); }
  // Posts a seek to `target` (microseconds of the file's time line, the start
  // time included) with the player's seek flags. False (ignored) while an
  // earlier request is still pending.
  bool RequestSeek(int64_t target, int32_t flags);
  bool SeekPending() const;
  // No seek pending and the latest one's picture on display (or none to come:
  // no video, or the end of the file).
  bool SeekSettled() const;
  void TogglePause();
  bool Paused() const { return paused_.load(); }
  // Plays `speed` times faster than real time (1, 2, 4 or 8): the pictures
  // are timed by the system clock divided by the speed, and the sound is left
  // out (the reader drops its packets) until the speed is 1 again, when a seek
  // brings it back in step.
  void SetSpeed(int32_t speed) { speed_ = speed; }
  int32_t Speed() const { return speed_.load(); }
  // While paused: shows the next picture (+1) or the one before (-1), waiting
  // for it at most `timeout_ms`. True once a different picture is on display.
  bool StepFrame(int direction, int timeout_ms);
  // The shown picture's source frame converted into `converter`'s bitmap;
  // false (and the bitmap untouched) without a shown picture.
  bool CaptureShown(TFrameConverter& converter, int64_t& pts);
  TShownFrame ShownFrame() const;
  TPlaybackStatistics Statistics() const;

  // ---- Any thread ----
  void PushEvent(const TPlayerEvent& event) { events_.Push(event); }
  // Stops the reader, the decoders and the sound; hands the player back its
  // reset state. Runs once; later calls return at once.
  void End();
  bool Ended() const { return ended_.load(); }
  // The reader is inside a read call (which may block on a slow source).
  bool Reading() const { return reading_.load(); }
  // Facts fixed once Start returned true.
  AVFormatContext* FormatContext() const { return input_.Get(); }
  bool HasVideo() const { return video_stream_ != nullptr; }
  bool HasAudio() const { return audio_stream_ != nullptr; }
  int32_t VideoWidth() const { return video_width_; }
  int32_t VideoHeight() const { return video_height_; }
  bool ImageSequence() const { return image_sequence_; }

  // ---- Play thread ----
  // Runs the event loop until the context ends.
  void RunEventLoop();

 private:
  // ---- Reader (PlaybackContext.cpp) ----
  void ReaderThread();
  bool OpenInput();
  void ChooseStreams(int& audio_index, int& video_index);
  bool OpenStream(int index);
  AVCodecContextPtr OpenDecoder(AVStream* stream);
  void CloseStreams();
  void ReadLoop();
  // Sleeps `time` unless the context is ending.
  void ReaderSleep(std::chrono::milliseconds time);
  void PerformSeek();
  static int InterruptCallback(void* opaque);
  void Log(int level, const std::string& text) const;

  // ---- Video decode thread (VideoDecoder.cpp) ----
  struct TVideoDecodeState;
  void VideoThread();
  bool DecodeVideoPacket(TVideoDecodeState& state, TQueuedPacket& packet, AVFrame* frame);
  bool HandleVideoFrame(TVideoDecodeState& state, AVFrame* frame);
  bool RetrySeekEarlier(TVideoDecodeState& state);
  bool QueuePicture(AVFramePtr source, int64_t pts, int64_t duration, int32_t serial);
  AVFramePtr HookPicture(const AVFrame* frame, int64_t pts);
  // `source` scaled and converted to BGR24 at `rect`'s size through the cached
  // `scaler`; null when no scaler can be made for it.
  static std::shared_ptr<TBitmap> ScalePicture(SwsContextPtr& scaler, const AVFrame* source,
                                               const TDisplayRect& rect);
  bool WaitForAllocationLocked(std::unique_lock<std::mutex>& lock, int width, int height);
  bool StaleSerial(int32_t serial) const { return serial < seek_serial_.load(); }

  // ---- Sound (AudioOutput.cpp) ----
  bool OpenAudioDevice(AVCodecContext* decoder);
  void CloseAudioDevice();
  static void AudioCallback(void* opaque, uint8_t* stream, int length);
  void FillAudio(uint8_t* stream, int length);
  int DecodeAudioFrame();
  bool TakeAudioPacket();
  int ConvertAudio(const AVFrame* frame);
  int TrimAudioToTarget(double start, int bytes);
  void KeepSamplesLocked(const uint8_t* samples, int bytes);
  // Seconds of the sound being heard now; NaN while unknown.
  double AudioClock() const;

  // ---- Event loop and display (VideoDisplay.cpp) ----
  void HandleEvent(const TPlayerEvent& event);
  void Refresh();
  bool ShowQueuedPicture();
  double FrameDelayLocked(double pts, double audio_clock, double now);
  void OpenVideoMode();
  void Display();
  void DisplayPicture(TPicture picture);
  TDisplayTarget* Target() const;
  void DrawWaveform();
  TDisplayRect PictureRect(int32_t area_width, int32_t area_height) const;
  double VideoClockLocked() const;
  void PositionTick();
  bool AtEnd() const;
  void RunCallouts();
  void PollOwnWindow();

  TCustomPlayer& player_;
  const TSettings settings_;
  std::string start_error_;  // written by the reader before state_ leaves Starting

  // Fixed while the reader runs (written before state_ becomes Reading).
  TInputContext input_;
  bool image_sequence_ = false;
  bool capture_input_ = false;
  AVStream* video_stream_ = nullptr;
  AVStream* audio_stream_ = nullptr;
  AVCodecContextPtr video_decoder_;  // used by the video decode thread only
  AVCodecContextPtr audio_decoder_;  // used by the sound callback only
  int64_t audio_duration_ = -1;      // microseconds; -1 when unknown
  int64_t video_start_ = AV_NOPTS_VALUE;  // first picture's time, microseconds
  int32_t video_width_ = 0;          // the picture's upright size when the decoder opened
  int32_t video_height_ = 0;
  AVRational video_sample_aspect_{0, 1};  // of the upright picture
  int32_t video_rotation_ = 0;       // clockwise turn that shows the pictures upright
  double frame_period_ = 0.04;       // seconds, from the stream's frame rate
  bool show_waveform_ = false;

  // Where the reader is: opening the file, reading it, or failed to open it
  // (and then done cleaning up after the failure).
  enum class TReaderState { Starting, Reading, Failed, CleanedUp };
  std::atomic<TReaderState> state_{TReaderState::Starting};
  std::atomic<bool> abort_request_{false};
  std::atomic<bool> reading_{false};
  std::atomic<bool> eof_{false};            // the demuxer reported the end of the file
  std::atomic<bool> video_finished_{false}; // every picture up to the end is queued
  std::atomic<bool> paused_{false};
  std::atomic<int32_t> speed_{1};
  bool last_paused_ = false;  // reader thread only
  std::atomic<int64_t> start_offset_{0};
  std::atomic<int64_t> duration_{0};
  std::atomic<bool> ended_{false};

  std::thread reader_;
  std::mutex reader_wake_mutex_;
  std::condition_variable reader_wake_;  // ends the reader's sleeps at once
  bool read_allowed_ = false;           // guarded by reader_wake_mutex_
  std::thread video_thread_;
  TPacketQueue video_queue_;
  TPacketQueue audio_queue_;
  TPlayerEventQueue events_;

  mutable std::mutex seek_mutex_;
  // Guarded by seek_mutex_.
  struct TSeekRequest {
    bool Pending = false;
    bool FromUser = false;  // a retry of the decoder gives way to the user's seek
    int64_t Target = 0;     // the picture to show, microseconds
    int64_t Point = 0;      // where to seek the file to, microseconds
    int32_t Flags = 0;      // the format library's seek flags
    bool Exact = false;     // drop what comes before Target
    int32_t Attempt = 0;
    int32_t Serial = 0;
  } seek_;
  std::atomic<int32_t> seek_serial_{0};  // the latest seek asked for

  mutable std::mutex picture_mutex_;
  std::condition_variable picture_cond_;
  // Guarded by picture_mutex_.
  TPicture picture_;
  int picture_count_ = 0;  // 0 or 1
  bool picture_abort_ = false;
  bool allocated_ = false;
  int32_t allocated_width_ = 0;
  int32_t allocated_height_ = 0;
  int32_t area_width_ = 0;   // the display area ("video mode")
  int32_t area_height_ = 0;
  bool area_open_ = false;

  mutable std::mutex clock_mutex_;
  // Guarded by clock_mutex_.
  double frame_timer_ = 0;
  double last_frame_time_ = 0;
  double last_frame_delay_ = 0.04;
  double current_video_time_ = 0;
  int64_t current_video_stamp_ = 0;  // system microseconds
  int32_t shown_serial_ = -1;
  bool step_request_ = false;  // StepFrame(+1) waiting for the next picture
  int64_t frames_shown_ = 0;
  int64_t frames_late_ = 0;
  double max_av_difference_ = 0;  // seconds
  int64_t sync_settled_at_ = 0;   // system microseconds before which differences are not counted
  // The A/V difference is not counted while the clocks settle after a start,
  // a seek or a resume.
  static constexpr int64_t kSettleMicroseconds = 500000;

  mutable std::mutex shown_mutex_;
  // Guarded by shown_mutex_.
  TPicture shown_;
  bool has_shown_ = false;
  int64_t displayed_count_ = 0;  // pictures handed to the target (again)

  mutable std::mutex audio_mutex_;
  // Guarded by audio_mutex_: what the callback last handed to the device and
  // the samples kept for the waveform.
  double written_start_ = 0;  // seconds of the first and past the last sample
  double written_end_ = 0;
  bool clock_known_ = false;
  int64_t callback_time_ = 0;  // system microseconds
  int unread_bytes_ = 0;
  static constexpr int kSampleArraySize = 131072;  // samples kept for the waveform
  std::vector<int16_t> sample_array_;
  int sample_index_ = 0;
  // Sound callback only.
  uint32_t audio_device_ = 0;
  int device_rate_ = 0;
  int device_channels_ = 0;
  int bytes_per_second_ = 0;
  AVFramePtr audio_frame_;
  SwrContextPtr resampler_;
  int resampler_format_ = -1;
  int resampler_rate_ = 0;
  AVChannelLayout resampler_layout_{};
  std::vector<uint8_t> audio_buffer_;
  int audio_buffer_size_ = 0;
  int audio_buffer_index_ = 0;
  double audio_clock_ = 0;  // seconds, the end of the last decoded sound
  bool audio_clock_set_ = false;
  int64_t audio_target_ = AV_NOPTS_VALUE;
  bool audio_drained_ = false;

  // The event loop's own (play thread only, under loop_mutex_).
  std::mutex loop_mutex_;
  std::mutex end_mutex_;
  std::atomic<std::thread::id> loop_thread_{};
  TThreadOwner thread_;  // the main thread, which opened the file
  TFrameConverter hook_converter_;  // video decode thread
  SwsContextPtr decode_scaler_;     // video decode thread
  SwsContextPtr rotate_scaler_;     // video decode thread: formats converted before a turn
  SwsContextPtr display_scaler_;    // event loop
  std::unique_ptr<TSDLWindowDisplay> own_window_;
  int64_t reported_position_ = AV_NOPTS_VALUE;
  int waveform_start_ = 0;
  bool report_position_ = false;  // callouts gathered while handling an event
  bool report_end_ = false;
  int64_t position_to_report_ = 0;
};

}  // namespace kelvane
