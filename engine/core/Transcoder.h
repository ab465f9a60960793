// One conversion run of a task: set-up of the run tables, codecs and headers,
// the packet loop, packet processing and packet writing, the end of the run and
// the progress reports.
//
// Ownership: a task (TCustomFFmpeg) creates one TTranscoder for its run and drops
// it afterwards. The transcoder owns the run tables (RunTables.h) and the run's
// buffers; it reads the task's settings and its input and output file records and
// writes the task's Finished flag and counters. The audio path (AudioPath.h) and
// the video path (VideoPath.h) are called from packet processing with the run,
// the output stream, the input stream and the decoded unit; they encode through
// EncodeAndWrite, which also keeps the quality and byte counters.
//
// Threads: everything runs on the task's worker thread (or the caller's thread in
// a synchronous run). Only the task's StopRequested flag is written elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "engine/core/RunTables.h"

namespace kelvane {

class TCustomFFmpeg;

// "Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown".
const char* MediaTypeName(int type);

// The message for a library error code about `subject` ("%s: I/O error occurred..").
std::string ErrorText(const std::string& subject, int code);

class TTranscoder {
 public:
  explicit TTranscoder(TCustomFFmpeg& engine);
  ~TTranscoder();
  TTranscoder(const TTranscoder&) = delete;
  TTranscoder& operator=(const TTranscoder&) = delete;

  // The whole run: set-up, packet loop, drain, trailers, final report. Raises
  // FFmpegException on failure; the task's final block closes what is left open.
  void Run();

  // Sends `frame` (null: drain) to the stream's encoder and writes every packet
  // it gives back, with timestamps moved from the encoder's time base to the
  // stream's. Returns the bytes written. Raises "Audio encoding failed" /
  // "Video encoding failed" / the writer's error.
  int EncodeAndWrite(TOutputStreamState& ost, AVFrame* frame);

  // Passes the packet through the stream's bitstream filters and writes it
  // interleaved. Raises on a write error.
  void WritePacket(TOutputStreamState& ost, AVPacket* packet);

  AVFormatContext* OutputContext(const TOutputStreamState& ost) const;
  AVFormatContext* InputContext(const TInputStreamState& ist) const;

  TCustomFFmpeg& Engine;

  std::vector<TInputFileState> InputFiles;
  // Records are kept behind pointers so that SyncInput stays valid.
  std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;

  // Counters of the run (progress report and final summary).
  uint64_t VideoSize = 0;
  uint64_t AudioSize = 0;
  uint64_t ExtraSize = 0;
  int32_t DupFrames = 0;
  int32_t DropFrames = 0;
  int64_t TimerStart = 0;  // av_gettime() when the loop began

 private:
  void SetUp();
  void BuildInputTables();
  void BindSources();
  void SetUpCodecParameters();
  void SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist);
  void SetUpVideoEncoding(TOutputStreamState& ost, TInputStreamState& ist);
  void ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist);
  void OpenTwoPassLog(TOutputStreamState& ost, int index);
  void OpenEncoders();
  void OpenDecoders();
  void CopyMetadata();
  void WriteHeaders();
  void ReportMapping();
  void DumpOutput(int file_index);

  void Loop();
  void EndOfRun();
  void ChangeJoinFile(int k);
  void ReopenEncoder(TOutputStreamState& ost);
  double OutputPosition(const TOutputStreamState& ost) const;
  void ProgressReport(bool final_report);

  int ProcessPacket(TInputStreamState& ist, const AVPacket* packet);
  int DecodePacket(TInputStreamState& ist, const AVPacket* packet, bool& got_unit);
  void OutputDecoded(TInputStreamState& ist, const AVPacket* packet);
  void OutputAudio(TInputStreamState& ist);
  void OutputVideo(TInputStreamState& ist, AVFrame* picture);
  void OutputSubtitle(TInputStreamState& ist, AVSubtitle& subtitle, int64_t pts);
  void CopyPacket(TOutputStreamState& ost, TInputStreamState& ist, const AVPacket* packet);
  void DrainEncoders(TInputStreamState& ist);
  void DrainAudioFifo(TOutputStreamState& ost);
  bool ToPackedS16(TInputStreamState& ist, AVFrame* frame);

  void Release();
  void CloseCodecs();

  bool JoinMode() const;
  int GroupSize() const { return group_size_; }
  // Output streams to open, write or report: join mode uses the first group only.
  int OutputStreamsForSetUp() const;

  int group_size_ = 0;
  int64_t last_report_ = 0;
  int qp_histogram_[52] = {};
  // Packed 16-bit audio of the unit being processed (decoder rate and layout).
  std::vector<uint8_t> audio_buffer_;
  int audio_size_ = 0;
  std::vector<uint8_t> subtitle_buffer_;
  AVPacketPtr packet_;
  AVFilterGraphPtr graph_;
};

}  // namespace kelvane
