// The packet loop of a run: choosing the next input, the end tests, reading and
// timestamp correction, join-mode file changes, the end of the run and the
// progress reports.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/SeekAhead.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

namespace {

// Frame limits are kept per media type: video, audio, data, subtitle.
int32_t FrameLimit(const TRunSettings& settings, int type) {
  if (type < 0 || type > 3) return INT32_MAX;
  return settings.max_frames[type];
}

int64_t WritePosition(AVIOContext* pb) {
  return pb != nullptr ? avformat.avio_seek(pb, 0, SEEK_CUR) : 0;
}

}  // namespace

double TTranscoder::OutputPosition(const TOutputStreamState& ost) const {
  if (ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && ost.EncodingNeeded &&
      ost.Encoder != nullptr)
    return static_cast<double>(ost.SyncOpts) * av_q2d(ost.Encoder->time_base);
  return static_cast<double>(ost.CurrentPts) * av_q2d(ost.Stream->time_base);
}

bool TTranscoder::SeekAheadAllowed() const {
  // Hooks see every decoded picture, and rate emulation paces the reading
  // from the beginning: both would notice the pictures left out.
  const TPictureWatchers watchers = host_.PictureWatchers();
  // Parts joined in the source's format each begin at a key frame before
  // their start (a transport stream's seek lands anywhere).
  const bool parts = JoinMode() && join_parts_ && !smart_videos_.empty();
  return settings_.seek_ahead && (parts || (settings_.start_time > 0 && !JoinMode())) &&
         !settings_.rate_emu && !watchers.FrameHooks && !watchers.CustomHook;
}

void TTranscoder::SeekInputsAhead() {
  read_ahead_.resize(InputFiles.size());
  if (!SeekAheadAllowed()) return;
  for (size_t f = 0; f < InputFiles.size(); ++f) {
    const TInputFileState& file = InputFiles[f];
    const TInputFile& record = *records_.InputFiles[f];
    std::vector<int> streams;
    bool scaled = false;
    for (int s = 0; s < file.StreamCount; ++s) {
      const TInputStreamState& ist = *InputStreams[file.FirstStream + s];
      const int type = ist.Stream->codecpar->codec_type;
      if (ist.Discard || (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO)) continue;
      streams.push_back(s);
      if (s < MaxStreams && record.ts_scale[s] != 0.0) scaled = true;
    }
    // Scaled times do not map back onto the file's own.
    if (streams.empty() || scaled) continue;
    TSeekAhead seek(file.Context, settings_.start_time - record.ts_offset, std::move(streams));
    if (seek.Seek()) {
      read_ahead_[f] = std::move(seek.Packets());
    } else if (JoinMode()) {
      // A part read from the beginning: its opening's seek may have left the
      // input past the key frame its first pictures need.
      SeekToBeginning(file.Context);
    }
    if (records_.Verbosity > 0)
      GetLogger().Logf(host_.LogSender(), llVerbose, "Input #%d: %s", static_cast<int>(f),
                       seek.Report().c_str());
  }
}

int TTranscoder::ReadPacket(int file_index, AVPacket* packet) {
  std::deque<AVPacketPtr>& waiting = read_ahead_[file_index];
  if (waiting.empty()) return avformat.av_read_frame(InputFiles[file_index].Context, packet);
  avcodec.av_packet_move_ref(packet, waiting.front().get());
  waiting.pop_front();
  return 0;
}

// The input file to read from next: the one whose streams lag furthest behind
// (by input or output position), or the join file being read; -1 when no
// stream wants more. `smallest_out` receives the least output position.
int TTranscoder::NextInputFile(const std::vector<char>& no_packet, int file_index,
                               double& smallest_out) const {
  smallest_out = 1e100;
  double smallest_in = 1e100;
  if (!JoinMode()) file_index = -1;
  const int first = JoinMode() ? file_index * group_size_ : 0;
  const int last = JoinMode() ? first + group_size_ : static_cast<int>(OutputStreams.size());
  for (int i = first; i < last; ++i) {
    const TOutputStreamState& ost = *OutputStreams[i];
    const TInputStreamState& ist = *InputStreams[ost.SourceIndex];
    if (no_packet[ist.FileIndex]) continue;
    double opos = OutputPosition(ost);
    // Nothing the source gives from here on is output: the stream is done
    // even when its last units fell short of the recording time.
    if (!JoinMode() && ist.Pts >= OutputEnd(ist))
      opos = std::max(opos, settings_.recording_time / 1000000.0);
    if (JoinMode()) {
      smallest_out = std::min(smallest_out, opos);
    } else {
      const double ipos = static_cast<double>(ist.Pts);
      if (!InputFiles[ist.FileIndex].EofReached) {
        if (ipos < smallest_in) {
          smallest_in = ipos;
          if (settings_.input_sync) file_index = ist.FileIndex;
        }
        if (opos < smallest_out) {
          smallest_out = opos;
          if (!settings_.input_sync) file_index = ist.FileIndex;
        }
      }
    }
    if (ost.FrameNumber >= FrameLimit(settings_, ost.Stream->codecpar->codec_type)) return -1;
  }
  return file_index;
}

// A packet's times in the run's time line: the file's offset and scale, a
// presentation time that damage moved far off replaced, and a discontinuity
// of the container (MPEG-TS) folded into the file's offset.
void TTranscoder::AdjustPacketTimes(TInputStreamState& ist, int file_index, AVPacket* packet) {
  TInputFile& record = *records_.InputFiles[file_index];
  const AVRational tb = ist.Stream->time_base;
  const int64_t offset = avutil.av_rescale_q(record.ts_offset, AV_TIME_BASE_Q, tb);
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
  const double scale = ist.StreamIndex < MaxStreams ? record.ts_scale[ist.StreamIndex] : 0.0;
  if (scale != 0.0) {
    if (packet->dts != AV_NOPTS_VALUE)
      packet->dts = static_cast<int64_t>(std::nearbyint(packet->dts * scale));
    if (packet->pts != AV_NOPTS_VALUE)
      packet->pts = static_cast<int64_t>(std::nearbyint(packet->pts * scale));
  }

  // Presentation follows decoding by a few pictures at most. A presentation
  // time further off is damage (a flipped bit in a time stamp); kept, it
  // would place the picture many seconds away and the run would fill the
  // gap with repeated pictures. The decoding time stands in for it (at
  // most a few pictures early, and a time every muxer takes for a copy).
  if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
      std::llabs(avutil.av_rescale_q(packet->pts - packet->dts, tb, AV_TIME_BASE_Q)) >
          static_cast<int64_t>(settings_.dts_delta_threshold * 1e6))
    packet->pts = packet->dts;

  const AVFormatContext* input = InputFiles[file_index].Context;
  if (packet->dts == AV_NOPTS_VALUE || ist.NextPts == AV_NOPTS_VALUE ||
      !(input->iformat->flags & AVFMT_TS_DISCONT))
    return;
  const int64_t dts_us = avutil.av_rescale_q(packet->dts, tb, AV_TIME_BASE_Q);
  const int64_t delta = dts_us - ist.NextPts;
  if ((std::llabs(delta) > static_cast<int64_t>(settings_.dts_delta_threshold * 1e6) ||
       dts_us + 1 < ist.Pts) &&
      !settings_.copy_ts) {
    record.ts_offset -= delta;
    if (records_.Verbosity > 2)
      GetLogger().Logf(host_.LogSender(), llVerbose,
                       "timestamp discontinuity %lld, new offset= %lld",
                       static_cast<long long>(delta), static_cast<long long>(record.ts_offset));
    const int64_t shift = avutil.av_rescale_q(delta, AV_TIME_BASE_Q, tb);
    packet->dts -= shift;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
  }
}

// One packet read from input file `file_index`: dumped when asked, and, when
// an output takes its stream, timed and processed. False when the packet was
// passed over or failed: no progress is reported for it.
bool TTranscoder::HandlePacket(int file_index, AVPacket* packet) {
  TPacketUnref unref{packet};
  const AVFormatContext* input = InputFiles[file_index].Context;
  if (settings_.do_pkt_dump && packet->stream_index < static_cast<int>(input->nb_streams))
    avformat.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet, settings_.do_hex_dump ? 1 : 0,
                              input->streams[packet->stream_index]);

  const TInputFileState& file = InputFiles[file_index];
  if (packet->stream_index >= file.StreamCount ||
      InputStreams[file.FirstStream + packet->stream_index]->Discard)
    return true;
  TInputStreamState& ist = *InputStreams[file.FirstStream + packet->stream_index];
  AdjustPacketTimes(ist, file_index, packet);

  // A stream whose output is complete is read past but no longer decoded
  // (the loop reads on while another stream, a shorter sound track for
  // one, has not reached the end); the end of the run drains its decoder.
  if (!JoinMode() && ist.DecodingNeeded && ist.Pts >= OutputEnd(ist)) return false;
  if (join_parts_ && ist.DecodingNeeded && ist.Pts >= part_end_) return false;
  if (ProcessPacket(ist, packet) < 0) {
    const std::string text =
        FormatText("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                   MediaTypeName(ist.Stream->codecpar->codec_type));
    if (settings_.exit_on_error) throw FFmpegException(text);
    if (records_.Verbosity >= 0) GetLogger().Log(host_.LogSender(), llVerbose, text);
    return false;
  }
  return true;
}

// The inputs that had no packet for the moment (EAGAIN), and how many did.
struct TTranscoder::TInputWaits {
  std::vector<char> NoPacket;
  int Count = 0;

  void Clear() {
    std::fill(NoPacket.begin(), NoPacket.end(), 0);
    Count = 0;
  }
};

void TTranscoder::Loop() {
  TInputWaits waits{std::vector<char>(InputFiles.size(), 0)};
  int file_index = 0;  // join mode: the file being read
  last_report_ = TimerStart;

  while (!host_.StopRequested()) {
    // A paused task waits here, where it holds no lock.
    host_.WaitWhilePaused();
    if (host_.StopRequested()) break;

    TLoopStep step = ChooseInput(waits, file_index);
    if (step == TLoopStep::Stop) break;
    if (step == TLoopStep::Again) continue;
    AVPacket* packet = packet_.get();
    step = ReadInput(waits, file_index, packet);
    if (step == TLoopStep::Stop) break;
    if (step == TLoopStep::Again) continue;
    if (!HandlePacket(file_index, packet)) continue;
    ReportWhenDue();
  }
}

// The input to read next into `file_index`, or the end of the run: nothing
// wants more, the recording time or the file size limit is reached.
TTranscoder::TLoopStep TTranscoder::ChooseInput(TInputWaits& waits, int& file_index) {
  double smallest_out = 1e100;
  file_index = NextInputFile(waits.NoPacket, file_index, smallest_out);
  if (file_index < 0) {
    if (JoinMode()) return TLoopStep::Stop;
    // Every file that had nothing now may have: wait a little and ask again.
    if (waits.Count > 0) {
      waits.Clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return TLoopStep::Again;
    }
    return TLoopStep::Stop;
  }
  if (settings_.recording_time / 1000000.0 <= smallest_out) return TLoopStep::Stop;
  if (settings_.limit_filesize > 0 && !outputs_.empty() &&
      WritePosition(outputs_[0]->context.Get()->pb) > settings_.limit_filesize)
    return TLoopStep::Stop;
  return TLoopStep::Go;
}

// Reads the next packet of input `file_index`. At an input's end join mode
// moves on to the next file (`file_index`), and a run that stops with the
// shortest input stops.
TTranscoder::TLoopStep TTranscoder::ReadInput(TInputWaits& waits, int& file_index,
                                              AVPacket* packet) {
  // A joined file's part read to its end counts as the end of the file.
  int ret = join_parts_ && PartDone(file_index) ? AVERROR_EOF : ReadPacket(file_index, packet);
  if (ret == AVERROR(EAGAIN)) {
    waits.NoPacket[file_index] = 1;
    ++waits.Count;
    return TLoopStep::Again;
  }
  if (ret < 0) {
    InputFiles[file_index].EofReached = true;
    if (JoinMode()) {
      ChangeJoinFile(file_index);
      if (file_index >= static_cast<int>(InputFiles.size()) - 1) return TLoopStep::Stop;
      ++file_index;
      return TLoopStep::Again;
    }
    return settings_.shortest ? TLoopStep::Stop : TLoopStep::Again;
  }
  waits.Clear();
  return TLoopStep::Go;
}

void TTranscoder::ReportWhenDue() {
  const int64_t now = avutil.av_gettime();
  if (now - last_report_ > records_.ProgressInterval) {
    last_report_ = now;
    ProgressReport(false);
  }
}

// After the end of input file k in join mode: drain its decoders and move the
// next file's timestamps behind what was written. The encoders keep running
// across the seam, so no frame they hold is lost and the next file continues
// the same streams.
void TTranscoder::ChangeJoinFile(int k) {
  const TInputFileState& file = InputFiles[k];
  // The copied pictures of the part end before its counts are handed on.
  for (auto& entry : smart_videos_) entry.second->EndPart();
  drain_encoders_ = false;
  for (int s = 0; s < file.StreamCount; ++s) {
    TInputStreamState& ist = *InputStreams[file.FirstStream + s];
    if (!ist.DecodingNeeded) continue;
    ProcessPacket(ist, nullptr);
    if (ist.Decoder != nullptr) avcodec.avcodec_flush_buffers(ist.Decoder);
    ist.Flushed = true;
  }
  drain_encoders_ = true;
  const int n = group_size_;
  for (size_t i = static_cast<size_t>((k + 1) * n); i < OutputStreams.size(); ++i) {
    OutputStreams[i]->SyncOpts = OutputStreams[i - n]->SyncOpts;
    OutputStreams[i]->FrameNumber = OutputStreams[i - n]->FrameNumber;
    OutputStreams[i]->CurrentPts = OutputStreams[i - n]->CurrentPts;
    OutputStreams[i]->EncoderPts = OutputStreams[i - n]->EncoderPts;
  }
  double largest = 0;
  for (int i = k * n; i < (k + 1) * n; ++i) {
    if (static_cast<size_t>(i + n) >= OutputStreams.size()) break;
    largest = std::max(largest, OutputPosition(*OutputStreams[i]));
  }
  if (k >= static_cast<int>(InputFiles.size()) - 1) return;
  // A part of known length ends exactly at its end, wherever the output's
  // last unit of it began; other files follow what was written.
  const int64_t next = join_parts_ && part_end_ != INT64_MAX
                           ? part_end_
                           : static_cast<int64_t>(std::nearbyint(largest * 1e6));
  records_.InputFiles[k + 1]->ts_offset += next;
  current_group_ = k + 1;
  // The next part begins where this one's output ended.
  if (join_parts_) {
    BeginPart(k + 1, next);
    StartSmartPart(k + 1);
  }
}

bool TTranscoder::PartDone(int k) const {
  // Copied pictures are read until their part is complete.
  if (!SmartPartsRead()) return false;
  const TInputFileState& file = InputFiles[k];
  bool any = !smart_videos_.empty();
  for (int s = 0; s < file.StreamCount; ++s) {
    const TInputStreamState& ist = *InputStreams[file.FirstStream + s];
    if (!ist.DecodingNeeded || ist.Discard) continue;
    any = true;
    if (ist.Pts < part_end_) return false;
  }
  return any;
}

void TTranscoder::EndOfRun() {
  // Pictures first: the decoders' last pictures may hold the cut's first one,
  // which held sound waits for.
  auto drain = [this](bool video) {
    for (auto& ist : InputStreams)
      if (ist->DecodingNeeded && !ist->Flushed &&
          (ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) == video)
        ProcessPacket(*ist, nullptr);
  };
  for (auto& entry : smart_videos_) {
    entry.second->Finish();
    if (first_picture_ == AV_NOPTS_VALUE && entry.second->Zero() != AV_NOPTS_VALUE)
      SmartZeroKnown(*entry.second);
  }
  ReleaseHeldCopies();
  drain(true);
  ReleaseHeldAudio();
  drain(false);
  if (JoinMode()) {
    // The decoders were drained at each file change; the shared encoders are
    // drained once, through the group of the last file read.
    for (auto& ist : InputStreams)
      if (ist->DecodingNeeded && ist->FileIndex == current_group_) DrainEncoders(*ist);
  }

  if (join_parts_ && LateChapters()) AddPartChapters();
  if (join_parts_ && host_.StopRequested()) TrimPartChapters();
  const size_t count = JoinMode() ? std::min<size_t>(outputs_.size(), 1) : outputs_.size();
  for (size_t i = 0; i < count; ++i) {
    int ret = avformat.av_write_trailer(outputs_[i]->context.Get());
    if (ret < 0) throw FFmpegException(ErrorText("av_write_trailer()", ret));
  }
  // A range that holds nothing (it starts past the end of a short or cut-off
  // input) leaves an output without a single packet: that is no split.
  for (size_t i = 0; i < count && !host_.StopRequested(); ++i) {
    int64_t written = 0;
    for (const auto& ost : OutputStreams)
      if (OutputContext(*ost) == outputs_[i]->context.Get()) written += ost->PacketsWritten;
    if (written == 0)
      throw FFmpegException(FormatText(
          "Nothing was written to output file #%d: the input holds nothing in the chosen range",
          static_cast<int>(i)));
  }
  ProgressReport(true);
  CloseCodecs();
  host_.SetFinished(!host_.StopRequested());
  Release();
}

namespace {

// "PSNR=Y:.. U:.. V:.. *:.. " of a video stream: of its last picture, or, in
// the final report, of all `frames` pictures.
std::string PsnrText(const TOutputStreamState& ost, int32_t frames, bool final_report) {
  const AVCodecContext* enc = ost.Encoder;
  double error_sum = 0, scale_sum = 0;
  static const char kPlanes[] = "YUV";
  std::string text = "PSNR=";
  for (int j = 0; j < 3; ++j) {
    double error = final_report ? static_cast<double>(ost.TotalError[j])
                                : static_cast<double>(ost.CodedError[j]);
    double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
    if (final_report) scale *= frames;
    if (j > 0) scale /= 4;
    error_sum += error;
    scale_sum += scale;
    text += FormatText("%c:%2.2f ", kPlanes[j], -10.0 * std::log10(error / scale));
  }
  return text + FormatText("*:%2.2f ", -10.0 * std::log10(error_sum / scale_sum));
}

}  // namespace

// What a progress report says, gathered from the output streams: the line,
// the least output position (s; 1e10 while nothing was written) and the
// values for the host.
struct TTranscoder::TReportLine {
  std::string Text;
  double Time = 1e10;
  bool VideoFound = false;
  TRunProgress Progress{.FrameNumber = -1, .FPS = -1, .Quality = -1.0f};
};

void TTranscoder::ProgressReport(bool final_report) {
  if (outputs_.empty()) return;
  AVFormatContext* oc = outputs_[0]->context.Get();
  int64_t total_size = oc->pb != nullptr ? avformat.avio_size(oc->pb) : 0;
  if (total_size < 0) total_size = WritePosition(oc->pb);

  TReportLine report;
  if (!ReportStreams(final_report, report)) return;
  SendReport(final_report, total_size, report);
  if (final_report && records_.Verbosity >= 0) ReportFinalSizes(total_size);
}

// The streams' part of the line. False when the first video stream has not
// written a picture yet: nothing is reported then.
bool TTranscoder::ReportStreams(bool final_report, TReportLine& report) {
  // Join mode reports the group being written (its counters are the newest).
  const int first = JoinMode() ? current_group_ * group_size_ : 0;
  const int last = JoinMode() ? first + group_size_ : static_cast<int>(OutputStreams.size());
  for (int i = first; i < last; ++i) {
    const TOutputStreamState& ost = *OutputStreams[i];
    const bool is_video = ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    const float q = ost.EncodingNeeded ? ost.CodedQuality / static_cast<float>(FF_QP2LAMBDA)
                                       : -1.0f;
    if (is_video && !report.VideoFound) {
      if (!ReportVideoStream(ost, q, final_report, report)) return false;
    } else if (is_video) {
      report.Text += FormatText("q=%2.1f ", q);
    }
    const double ost_time = static_cast<double>(ost.CurrentPts) * av_q2d(ost.Stream->time_base);
    if (ost_time < report.Time && ost_time > 0) report.Time = ost_time;
  }
  return true;
}

// The first video stream: its pictures, their rate and quantizer (with the
// quantizer histogram and PSNR when asked).
bool TTranscoder::ReportVideoStream(const TOutputStreamState& ost, float q, bool final_report,
                                    TReportLine& report) {
  report.VideoFound = true;
  const float elapsed = static_cast<float>(avutil.av_gettime() - TimerStart) / 1000000.0f;
  const int32_t frame_number = ost.FrameNumber;
  const int32_t fps = elapsed > 1 ? static_cast<int32_t>(frame_number / elapsed + 0.5f) : 0;
  report.Progress.FrameNumber = frame_number;
  report.Progress.FPS = fps;
  if (frame_number < 1) return false;
  report.Progress.Quality = q;
  std::string& line = report.Text;
  line += FormatText("frame=%5d fps=%3d q=%3.1f ", frame_number, fps, q);
  if (final_report) line += "L";
  if (settings_.qp_hist) {
    const int qp = static_cast<int>(std::lrintf(q));
    if (qp >= 0 && qp < 52) qp_histogram_[qp]++;
    for (int j = 0; j < 32; ++j)
      line += FormatText("%X", static_cast<int>(std::lrint(std::log2(qp_histogram_[j] + 1))));
  }
  const AVCodecContext* enc = ost.Encoder;
  if (enc != nullptr && (enc->flags & AV_CODEC_FLAG_PSNR))
    line += PsnrText(ost, frame_number, final_report);
  return true;
}

// The line's size, time and rate, to the host's progress handler or the log.
void TTranscoder::SendReport(bool final_report, int64_t total_size, TReportLine& report) {
  // With nothing written yet there is no position: report 0 ms and 0 kbit/s.
  double t = report.Time;
  const bool known = t < 1e10;
  if (t < 0.01) t = 0.01;

  const bool handler = host_.HasProgressHandler();
  if (!handler && records_.Verbosity <= 0 && !final_report) return;
  const double bitrate = known ? static_cast<double>(total_size) * 8 / t / 1000.0 : 0.0;
  report.Text += FormatText("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s",
                            total_size / 1024.0, known ? t : 0.0, bitrate);
  if (records_.Verbosity > 1)
    report.Text += FormatText(" dup=%d drop=%d", DupFrames(), DropFrames());
  if (handler) {
    // A damaged time stamp can put the position past what 32-bit milliseconds
    // hold (24.8 days): it is reported as the largest they do.
    report.Progress.CurrentDuration =
        known ? static_cast<int32_t>(std::min(t * 1000, static_cast<double>(INT32_MAX))) : 0;
    report.Progress.BitRate = static_cast<float>(bitrate);
    report.Progress.CurrentSize = total_size;
    host_.Progress(report.Progress);
  } else if (records_.Verbosity >= 0) {
    GetLogger().Log(host_.LogSender(), llVerbose, report.Text);
  }
}

void TTranscoder::ReportFinalSizes(int64_t total_size) const {
  const uint64_t audio = AudioBytes();
  const uint64_t video = VideoBytes();
  const double sum = static_cast<double>(video + audio + ExtraSize);
  GetLogger().Logf(host_.LogSender(), llVerbose,
                   "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                   video / 1024.0, audio / 1024.0, ExtraSize / 1024.0,
                   sum > 0 ? (total_size - sum) * 100.0 / sum : 0.0);
}

}  // namespace kelvane
