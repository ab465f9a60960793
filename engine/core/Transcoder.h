// One conversion run of a task: set-up of the run tables, codecs and headers,
// the packet loop, packet processing and packet writing, the end of the run and
// the progress reports.
//
// Ownership: a task creates one TTranscoder for its run, over a host
// (RunHost.h) that lends it the task's records and control, and drops it
// afterwards. The transcoder owns the run tables (RunTables.h) and the run's
// buffers; it reads the task's settings and its input and output file records
// and reports through the host whether the run finished. The audio path (AudioPath.h) and the video
// path (VideoPath.h) are made per run and called from packet processing with
// the output stream, the input stream and the decoded unit; they encode and
// hand every packet to WritePacket.
//
// Threads: everything runs on the task's worker thread (or the caller's thread in
// a synchronous run). Only the host's stop request changes elsewhere.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "engine/core/AudioPath.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/RunHost.h"
#include "engine/core/RunTables.h"
#include "engine/core/SmartCut.h"
#include "engine/core/VideoPath.h"

namespace kelvane {

class TTranscoder {
 public:
  explicit TTranscoder(TRunHost& host);
  ~TTranscoder();
  TTranscoder(const TTranscoder&) = delete;
  TTranscoder& operator=(const TTranscoder&) = delete;

  // The whole run: set-up, packet loop, drain, trailers, final report. Raises
  // FFmpegException on failure; the task's final block closes what is left open.
  void Run();

  // Passes the packet through the stream's bitstream filters and writes it
  // interleaved. Raises on a write error.
  void WritePacket(TOutputStreamState& ost, AVPacket* packet);

  AVFormatContext* OutputContext(const TOutputStreamState& ost) const;
  AVFormatContext* InputContext(const TInputStreamState& ist) const;

  std::vector<TInputFileState> InputFiles;
  // Records are kept behind pointers so that SyncInput stays valid.
  std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;

  // Counters of the run (progress report and final summary); the paths count
  // what they encode, these what is copied.
  uint64_t VideoSize = 0;
  uint64_t AudioSize = 0;
  uint64_t ExtraSize = 0;
  int64_t TimerStart = 0;  // av_gettime() when the loop began

 private:
  void SetUp();
  void BuildInputTables();
  void BindSources();
  int ListOutputs();
  void CheckStreamMaps(int total) const;
  void BuildOutputTables();
  int FindSource(const TOutputStreamState& ost) const;
  void SetUpCodecParameters();
  void SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist);
  void CheckCopyAllowed(int codec_type) const;
  void StartSmartCopy(TOutputStreamState& ost, TInputStreamState& ist,
                      const AVOutputFormat* format);
  void SetUpVideoEncoding(TOutputStreamState& ost, TInputStreamState& ist);
  void SetUpScaler(TOutputStreamState& ost, int in_width, int in_height, AVPixelFormat in_format);
  void ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist);
  AVFilterContext* MakeFilterEnds(AVCodecContext* enc, TInputStreamState& ist);
  void LinkFilterChain(AVFilterContext* last, AVFilterContext* sink);
  AVFilterContext* LinkTurn(AVFilterContext* last, int32_t rotation);
  void OpenTwoPassLog(TOutputStreamState& ost, int index);
  // Video and audio encoders first (`subtitles` false), then, after the
  // decoders, the subtitle encoders and the bitstream filters.
  void OpenEncoders(bool subtitles);
  void OpenEncoder(TOutputStreamState& ost);
  void OpenBitstreamFilters();
  void OpenDecoders();
  void CopyMetadata();
  void WriteHeaders();
  void ReportMapping();
  // Reports the mapping, logs and raises "<kind> (codec id %d) not found for
  // <direction> stream #%d.%d (%s)".
  [[noreturn]] void RaiseCodecNotFound(const char* kind, const char* direction, AVCodecID id,
                                       int file_index, int stream_index, const char* type);
  void DumpOutput(int file_index);

  // Seeks each input to a key frame shortly before the start time when that
  // gives the same output as decoding from the beginning (SeekAhead.h).
  void SeekInputsAhead();
  bool SeekAheadAllowed() const;
  // The next packet of an input file: those read while seeking ahead first.
  int ReadPacket(int file_index, AVPacket* packet);

  // The packet loop, in its steps: which input to read next (or the end of
  // the run), reading its packet (an input's end, join-mode file changes),
  // and a progress report when one is due.
  struct TInputWaits;
  enum class TLoopStep { Go, Again, Stop };
  void Loop();
  TLoopStep ChooseInput(TInputWaits& waits, int& file_index);
  TLoopStep ReadInput(TInputWaits& waits, int& file_index, AVPacket* packet);
  void ReportWhenDue();
  int NextInputFile(const std::vector<char>& no_packet, int file_index,
                    double& smallest_out) const;
  void AdjustPacketTimes(TInputStreamState& ist, int file_index, AVPacket* packet);
  bool HandlePacket(int file_index, AVPacket* packet);
  void EndOfRun();
  void ChangeJoinFile(int k);
  // Join mode with parts: the part of file k begins at `start` (run time, µs).
  void BeginPart(int k, int64_t start);
  // Every stream of file k that is decoded has passed the end of its part.
  bool PartDone(int k) const;
  // A chapter per joined part, named after its title: before the header, or,
  // for muxers that write chapters added later (LateChapters), before the
  // trailer, so that a stopped file can carry only what it holds.
  void AddPartChapters();
  // Joined parts in the source's format: why they cannot be (raised).
  void RefuseSmartJoin(const AVCodecParameters* par, const AVOutputFormat* format) const;
  // The smart copies go on with the part of file k (BeginPart's times).
  void StartSmartPart(int k);
  // Every smart copy has read its part's pictures.
  bool SmartPartsRead() const;
  bool LateChapters() const;
  // A stopped run: only the chapters of the parts written remain, the last
  // one ending where the file ends.
  void TrimPartChapters();
  double OutputPosition(const TOutputStreamState& ost) const;
  // The progress report: the output streams' line, handed to the host or the
  // log, and the final report's sizes.
  struct TReportLine;
  void ProgressReport(bool final_report);
  bool ReportStreams(bool final_report, TReportLine& report);
  bool ReportVideoStream(const TOutputStreamState& ost, float q, bool final_report,
                         TReportLine& report);
  void SendReport(bool final_report, int64_t total_size, TReportLine& report);
  void ReportFinalSizes(int64_t total_size) const;

  // Decodes (or copies) one packet of `ist` and hands the units on; a null
  // packet drains the decoder and, unless a join-mode file change is draining,
  // the encoders fed by `ist`. -1 when decoding failed.
  int ProcessPacket(TInputStreamState& ist, const AVPacket* packet);
  int CopyInputPacket(TInputStreamState& ist, const AVPacket* packet);
  int DecodeSubtitle(TInputStreamState& ist, const AVPacket* packet);
  int DecodeFrames(TInputStreamState& ist, const AVPacket* packet);
  int IndexOf(const TInputStreamState& ist) const;
  void RateEmulation(const TInputStreamState& ist);
  bool OutputAllowed(const TInputStreamState& ist) const;
  int64_t RecordingEnd() const;  // µs of input time; INT64_MAX without a recording time
  void OutputAudioFrame(TInputStreamState& ist, AVFrame* frame);
  // Cuts a block of packed s16 (at input time ist.Pts) to the sound's part of
  // the cut and hands it to the audio outputs.
  void OutputAudioBlock(TInputStreamState& ist, uint8_t* samples, int size);
  // The sound of the cut begins at its first picture: the picture's time is
  // known now, and the sound held for it goes out from there.
  void FirstPictureOutput(TInputStreamState& ist, const AVFrame* frame);
  void ReleaseHeldAudio();
  // End of the input time a stream's output takes (µs): the recording end,
  // for sound the end of the last picture before it.
  int64_t OutputEnd(const TInputStreamState& ist) const;
  void OutputVideoFrame(TInputStreamState& ist, AVFrame* frame);
  void PullFilteredPictures(TInputStreamState& ist);
  void FlushFilters(TInputStreamState& ist);
  bool ToPackedS16(TInputStreamState& ist, AVFrame* frame);
  void OutputSubtitle(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle& subtitle,
                      int64_t pts);
  // `zero`: the input time (µs) that becomes the output's 0; the start time
  // unless a smart copy says otherwise.
  void CopyPacket(TOutputStreamState& ost, TInputStreamState& ist, const AVPacket* packet,
                  int64_t zero = AV_NOPTS_VALUE);
  void FitCopiedTimes(const TOutputStreamState& ost, AVPacket* out, int64_t s);
  // Copied sound and subtitles of a smart copy wait until the cut's first
  // picture is known.
  void CopySmartAudio(TInputStreamState& ist, const AVPacket* packet);
  void ReleaseHeldCopies();
  void MarkSoundEnd(TOutputStreamState& ost, AVPacket* packet);
  // A smart copy has settled the cut's first picture: the sound starts there.
  void SmartZeroKnown(const TSmartVideo& smart);
  void DrainEncoders(TInputStreamState& ist);
  void FilterAndWrite(TOutputStreamState& ost, AVPacket* packet, size_t stage);

  void Release();
  void CloseCodecs();

  bool JoinMode() const;
  int GroupSize() const { return group_size_; }
  // Output streams to open, write or report: join mode uses the first group only.
  int OutputStreamsForSetUp() const;

  TRunHost& host_;
  TRunRecords records_;
  TRunSettings& settings_;
  // The output files in run order: in join mode the one output file once per
  // input file, so that output group k belongs to input k.
  std::vector<TOutputFile*> outputs_;
  // Opened codecs: the owners of the contexts the run opened, so that every one
  // is closed (freed under CodecLock) whichever way the run ends.
  std::vector<AVCodecContextPtr*> opened_encoders_;
  std::vector<AVCodecContextPtr*> opened_decoders_;
  bool all_rtp_ = false;

  int group_size_ = 0;
  int current_group_ = 0;       // join mode: the input file being read
  // Join mode with parts (TInputFile::part_length): the run's times of the
  // part of the file being read; units outside it are not output, and the
  // file ends once every stream of it has passed its end.
  bool join_parts_ = false;
  int64_t part_start_ = 0;
  int64_t part_end_ = INT64_MAX;
  bool drain_encoders_ = true;  // a drain call also empties the encoders
  uint64_t AudioBytes() const;
  uint64_t VideoBytes() const;
  int32_t DupFrames() const;
  int32_t DropFrames() const;
  int64_t last_report_ = 0;
  int qp_histogram_[52] = {};
  // Packed 16-bit audio of the unit being processed (decoder rate and layout).
  std::vector<uint8_t> audio_buffer_;
  int audio_size_ = 0;
  // A cut that begins between two pictures starts its sound with its first
  // picture rather than at the start time: the encoded video puts that picture
  // at the output's 0, so sound from the start time on would run ahead of the
  // pictures for the whole output by up to a picture's length. Until the
  // picture is known, the decoded sound after the start time waits here (at
  // most kMaxHeldAudioUs of it; then it goes out from the start time).
  struct THeldAudio {
    TInputStreamState* Stream = nullptr;
    int64_t Pts = 0;  // µs of input time
    std::vector<uint8_t> Samples;
  };
  std::vector<THeldAudio> held_audio_;
  bool awaiting_picture_ = false;
  int64_t first_picture_ = AV_NOPTS_VALUE;  // input time of the cut's first picture
  int64_t picture_duration_ = 0;             // µs, of that picture
  std::vector<uint8_t> subtitle_buffer_;
  AVPacketPtr packet_;
  // Per input file: packets read while seeking ahead, not yet processed.
  std::vector<std::deque<AVPacketPtr>> read_ahead_;
  AVFilterGraphPtr graph_;
  std::unique_ptr<TAudioPath> audio_path_;
  std::unique_ptr<TVideoHost> video_host_;
  std::unique_ptr<TVideoPath> video_path_;
  // Smart copies of copied video streams (SmartCut.h), with their outputs.
  std::vector<std::pair<TOutputStreamState*, std::unique_ptr<TSmartVideo>>> smart_videos_;
  TSmartVideo* SmartVideo(const TOutputStreamState& ost) const;
  TCutReport own_cut_report_;  // when the host keeps none
  struct THeldCopy {
    TInputStreamState* Stream;
    AVPacketPtr Packet;
    int64_t Pts;   // µs of input time, of the packet's start
    int64_t Next;  // and of its end
  };
  std::deque<THeldCopy> held_copies_;
  // The sound as decoders give it, for codecs whose packets do not say how
  // much they decode to (Vorbis in Matroska): one decoder per output stream.
  struct TDecodedSound {
    const TOutputStreamState* Stream = nullptr;
    AVCodecContextPtr Decoder;
    AVFramePtr Frame;
    int64_t First = AV_NOPTS_VALUE;  // the first packet's time, output time base
    int64_t Samples = 0;             // decoded so far
  };
  std::vector<TDecodedSound> decoded_sound_;
  // The samples the packet decodes to past `end` (output time base), by
  // decoding it; -1 when it cannot be told.
  int64_t DecodedPastEnd(const TOutputStreamState& ost, const AVPacket* packet, int64_t end);
};

}  // namespace kelvane
