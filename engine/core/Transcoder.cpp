// Set-up of a run: run tables, stream binding, codec parameters, filters,
// two-pass logs, encoders and decoders, metadata, headers and the mapping report;
// and the release of everything the run made.
#include "engine/core/Transcoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "binding/FFmpegLogger.h"
#include "binding/PictureRotation.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

TTranscoder::TTranscoder(TRunHost& host)
    : host_(host),
      records_(host.Records()),
      settings_(records_.Settings),
      packet_(avcodec.av_packet_alloc()) {
  if (!packet_) throw FFmpegException("av_packet_alloc failed");
  TAudioPathSettings audio;
  audio.Volume = settings_.audio_volume;
  audio.SyncMethod = settings_.audio_sync_method;
  audio.DriftThreshold = settings_.audio_drift_threshold;
  audio.StartTime = settings_.start_time;
  audio.Verbosity = records_.Verbosity;
  audio.ExitOnError = settings_.exit_on_error;
  audio_path_ = std::make_unique<TAudioPath>(
      audio, [this](TOutputStreamState& ost, AVPacket* packet) { WritePacket(ost, packet); },
      host_.LogSender());

  TVideoPathSettings video;
  video.SyncMethod = settings_.video_sync_method;
  video.StartTime = settings_.start_time;
  video.Deinterlace = settings_.deinterlace;
  video.SameQuality = records_.SameQuality;
  video.MeThreshold = settings_.me_threshold;
  video.TopFieldFirst = settings_.top_field_first;
  video.SwsFlags = settings_.sws_flags;
  for (int i = 0; i < 3; ++i) video.PadColor[i] = settings_.pad_color[i];
  video.MaxFrames = settings_.max_frames[0];
  video.FiltersInUse = settings_.filters_in_use;
  video.ExitOnError = settings_.exit_on_error;
  video.Verbosity = records_.Verbosity;
  video.StatisticsFile = settings_.vstats_filename;
  video.PreviewInterval = records_.PreviewInterval;
  video_host_ = host_.MakeVideoHost(*this);
  video_path_ = std::make_unique<TVideoPath>(
      video, *video_host_,
      [this](TOutputStreamState& ost, AVPacket* packet) { WritePacket(ost, packet); });
}

TTranscoder::~TTranscoder() {
  CloseCodecs();
  Release();
}

bool TTranscoder::JoinMode() const { return settings_.join; }

void TTranscoder::BeginPart(int k, int64_t start) {
  const int64_t length = records_.InputFiles[k]->part_length;
  part_start_ = start;
  part_end_ = length > 0 ? start + length : INT64_MAX;
}

void TTranscoder::AddPartChapters() {
  if (outputs_.empty()) return;
  AVFormatContext* oc = outputs_.front()->context.Get();
  int64_t start = 0;
  for (size_t k = 0; k < records_.InputFiles.size(); ++k) {
    const TInputFile& file = *records_.InputFiles[k];
    // A part without a length runs to its file's end, whose time is not known
    // exactly beforehand: the chapters end there.
    if (file.part_length <= 0) break;
    AVChapter* chapter = static_cast<AVChapter*>(avutil.av_mallocz(sizeof(AVChapter)));
    if (chapter == nullptr) throw FFmpegException("Out of memory for the chapters");
    void* grown = avutil.av_realloc(oc->chapters, (oc->nb_chapters + 1) * sizeof(AVChapter*));
    if (grown == nullptr) {
      avutil.av_free(chapter);
      throw FFmpegException("Out of memory for the chapters");
    }
    oc->chapters = static_cast<AVChapter**>(grown);
    oc->chapters[oc->nb_chapters++] = chapter;  // freed with the output's context
    chapter->id = static_cast<int64_t>(k + 1);
    chapter->time_base = AV_TIME_BASE_Q;
    chapter->start = start;
    chapter->end = start + file.part_length;
    const std::string title =
        file.part_title.empty() ? "Part " + std::to_string(k + 1) : file.part_title;
    avutil.av_dict_set(&chapter->metadata, "title", title.c_str(), 0);
    start = chapter->end;
  }
}

bool TTranscoder::LateChapters() const {
  if (outputs_.empty()) return false;
  // The MP4 family's muxer builds its chapter track from the chapters it has
  // at the header, or, when it had none, at the trailer; Matroska's writes
  // chapters it did not have at the header in its trailer.
  static const char* const kLate[] = {"mov", "mp4", "3gp", "3g2", "psp", "ipod", "ismv", "f4v",
                                      "matroska", "webm"};
  const char* name = outputs_.front()->context.Get()->oformat->name;
  for (const char* late : kLate)
    if (std::strcmp(name, late) == 0) return true;
  return false;
}

void TTranscoder::TrimPartChapters() {
  if (outputs_.empty()) return;
  AVFormatContext* oc = outputs_.front()->context.Get();
  // The file ends with the end of the last packet written.
  int64_t end = 0;
  for (const auto& ost : OutputStreams)
    if (ost->PacketsWritten > 0)
      end = std::max(end, avutil.av_rescale_q(ost->CurrentPts, ost->Stream->time_base,
                                              AV_TIME_BASE_Q));
  unsigned kept = 0;
  for (unsigned i = 0; i < oc->nb_chapters; ++i) {
    AVChapter* chapter = oc->chapters[i];
    const int64_t start = avutil.av_rescale_q(chapter->start, chapter->time_base, AV_TIME_BASE_Q);
    if (start < end) {
      const int64_t last = avutil.av_rescale_q(chapter->end, chapter->time_base, AV_TIME_BASE_Q);
      if (last > end) chapter->end = avutil.av_rescale_q(end, AV_TIME_BASE_Q, chapter->time_base);
      oc->chapters[kept++] = chapter;
      continue;
    }
    avutil.av_dict_free(&chapter->metadata);
    avutil.av_free(chapter);
  }
  oc->nb_chapters = kept;
}

int TTranscoder::OutputStreamsForSetUp() const {
  return JoinMode() ? group_size_ : static_cast<int>(OutputStreams.size());
}

AVFormatContext* TTranscoder::OutputContext(const TOutputStreamState& ost) const {
  return outputs_[ost.FileIndex]->context.Get();
}

AVFormatContext* TTranscoder::InputContext(const TInputStreamState& ist) const {
  return InputFiles[ist.FileIndex].Context;
}

void TTranscoder::Run() {
  // On a failure the destructor closes the codecs and releases the tables.
  SetUp();
  Loop();
  EndOfRun();
}

void TTranscoder::SetUp() {
  BuildInputTables();
  BindSources();
  // No output takes these streams: the demuxers need not even read them.
  for (auto& ist : InputStreams)
    if (ist->Discard) ist->Stream->discard = AVDISCARD_ALL;
  SetUpCodecParameters();
  OpenEncoders(false);
  OpenDecoders();
  // Subtitle encoders take the decoder's style header, known once it is open.
  OpenEncoders(true);
  for (auto& ist : InputStreams) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->IsStart = true;
  }
  // A cut's sound waits for its first encoded picture (see held_audio_).
  awaiting_picture_ = false;
  if (settings_.start_time > 0 && !JoinMode()) {
    for (const auto& ost : OutputStreams) {
      if (ost->EncodingNeeded && ost->Encoder != nullptr &&
          ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        awaiting_picture_ = true;
    }
    if (!smart_videos_.empty()) awaiting_picture_ = true;
  }
  CopyMetadata();
  if (JoinMode()) {
    for (const auto& file : records_.InputFiles) join_parts_ = join_parts_ || file->part_length > 0;
    if (join_parts_) {
      BeginPart(0, 0);
      if (!LateChapters()) AddPartChapters();
      StartSmartPart(0);
    }
  }
  WriteHeaders();
  ReportMapping();
  SeekInputsAhead();
  TimerStart = avutil.av_gettime();
}

// One state record per input file and per input stream.
void TTranscoder::BuildInputTables() {
  int first = 0;
  for (auto& file : records_.InputFiles) {
    AVFormatContext* ctx = file->context.Get();
    TInputFileState state;
    state.FirstStream = first;
    // Streams that appear while reading have no decoder record: they are not used.
    state.StreamCount =
        static_cast<int32_t>(std::min<size_t>(ctx->nb_streams, file->streams.size()));
    state.Context = ctx;
    for (int s = 0; s < state.StreamCount; ++s) {
      auto ist = std::make_unique<TInputStreamState>();
      ist->FileIndex = static_cast<int32_t>(InputFiles.size());
      ist->StreamIndex = s;
      ist->Stream = ctx->streams[s];
      ist->Decoder = file->streams[s].decoder_context.get();
      ist->DecoderCodec = file->streams[s].chosen_decoder;
      ist->Discard = true;
      if (settings_.rate_emu) ist->Start = avutil.av_gettime();
      ist->Decoded.reset(avutil.av_frame_alloc());
      if (!ist->Decoded) throw FFmpegException("av_mallocz fail");
      InputStreams.push_back(std::move(ist));
    }
    first += state.StreamCount;
    InputFiles.push_back(state);
  }
}

void TTranscoder::DumpOutput(int file_index) {
  TOutputFile* file = outputs_[file_index];
  avformat.av_dump_format(file->context.Get(), file_index, file->library_name.c_str(), 1);
}

// The output files in run order (join mode: the one file once per input);
// raises for one without streams. The number of output streams.
int TTranscoder::ListOutputs() {
  outputs_.clear();
  for (auto& file : records_.OutputFiles) outputs_.push_back(file.get());
  if (JoinMode() && !outputs_.empty()) {
    TOutputFile* joined = outputs_.front();
    outputs_.assign(std::max<size_t>(records_.InputFiles.size(), 1), joined);
  }
  int total = 0;
  for (size_t i = 0; i < outputs_.size(); ++i) {
    if (outputs_[i]->streams.empty()) {
      DumpOutput(static_cast<int>(i));
      RaiseFFmpeg("Output file #%d does not contain any stream", static_cast<int>(i));
    }
    total += static_cast<int>(outputs_[i]->streams.size());
  }
  group_size_ = outputs_.empty() ? 0 : static_cast<int>(outputs_[0]->streams.size());
  return total;
}

// Stream maps, when given, name one existing source and sync stream for each
// output stream.
void TTranscoder::CheckStreamMaps(int total) const {
  const auto& maps = records_.StreamMaps;
  if (!maps.empty() && static_cast<int>(maps.size()) != total)
    throw FFmpegException("Number of stream maps must match number of output streams");
  auto valid = [this](int file, int stream) {
    return file >= 0 && file < static_cast<int>(InputFiles.size()) && stream >= 0 &&
           stream < InputFiles[file].StreamCount;
  };
  for (const auto& map : maps) {
    if (!valid(map.FileIndex, map.StreamIndex))
      RaiseFFmpeg("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex);
    if (!valid(map.SyncFileIndex, map.SyncStreamIndex))
      RaiseFFmpeg("Could not find sync stream #%d.%d", map.SyncFileIndex, map.SyncStreamIndex);
  }
}

// One state record per output stream, in file and stream order.
void TTranscoder::BuildOutputTables() {
  for (size_t i = 0; i < outputs_.size(); ++i) {
    for (size_t s = 0; s < outputs_[i]->streams.size(); ++s) {
      const TOutputStream& record = outputs_[i]->streams[s];
      auto ost = std::make_unique<TOutputStreamState>();
      ost->FileIndex = static_cast<int32_t>(i);
      ost->StreamIndex = static_cast<int32_t>(s);
      ost->Stream = record.stream;
      ost->Encoder = record.encoder_context.get();
      ost->EncoderCodec = record.encoder;
      ost->EncodingNeeded = !record.stream_copy;
      ost->Rotation = record.rotation;
      ost->DisplayRotation = StreamRotation(record.stream);
      // The stream's parameters are filled from its encoder once that is open;
      // until then the encoder context tells the stream's media type.
      if (ost->Stream->codecpar->codec_type == AVMEDIA_TYPE_UNKNOWN && ost->Encoder != nullptr)
        ost->Stream->codecpar->codec_type = ost->Encoder->codec_type;
      ost->Packet.reset(avcodec.av_packet_alloc());
      ost->Frame.reset(avutil.av_frame_alloc());
      if (!ost->Packet || !ost->Frame) throw FFmpegException("av_mallocz fail");
      OutputStreams.push_back(std::move(ost));
    }
  }
}

// The source of an output stream without a map: the first unused input
// stream of its type (of the chosen program; of its own input in join mode),
// else, outside programs and join mode, the last input stream of its type.
int TTranscoder::FindSource(const TOutputStreamState& ost) const {
  const int type = ost.Stream->codecpar->codec_type;
  int found = -1;
  auto eligible = [&](const TInputStreamState& ist) {
    return ist.Discard && ist.Stream->codecpar->codec_type == type &&
           (!JoinMode() || ist.FileIndex == ost.FileIndex);
  };
  if (settings_.program_id_set) {
    for (size_t f = 0; f < InputFiles.size() && found < 0; ++f) {
      AVFormatContext* ctx = InputFiles[f].Context;
      for (unsigned p = 0; p < ctx->nb_programs; ++p) {
        AVProgram* program = ctx->programs[p];
        if (program->id != settings_.program_id) continue;
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
          int s = static_cast<int>(program->stream_index[k]);
          if (s >= InputFiles[f].StreamCount) continue;
          int global = InputFiles[f].FirstStream + s;
          if (eligible(*InputStreams[global])) {
            found = global;
            break;
          }
        }
        break;  // only the first program with that id
      }
    }
  } else {
    for (size_t j = 0; j < InputStreams.size(); ++j) {
      if (eligible(*InputStreams[j])) {
        found = static_cast<int>(j);
        break;
      }
    }
  }
  if (found < 0 && !settings_.program_id_set && !JoinMode()) {
    for (size_t j = 0; j < InputStreams.size(); ++j)
      if (InputStreams[j]->Stream->codecpar->codec_type == type) found = static_cast<int>(j);
  }
  return found;
}

// Output-stream table and the source of every output stream.
void TTranscoder::BindSources() {
  CheckStreamMaps(ListOutputs());
  BuildOutputTables();
  const auto& maps = records_.StreamMaps;
  for (size_t i = 0; i < OutputStreams.size(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    const int type = ost.Stream->codecpar->codec_type;
    if (!maps.empty()) {
      const TStreamMapEntry& map = maps[i];
      ost.SourceIndex = InputFiles[map.FileIndex].FirstStream + map.StreamIndex;
      TInputStreamState& ist = *InputStreams[ost.SourceIndex];
      const int in_type = ist.Stream->codecpar->codec_type;
      if (in_type != type) {
        DumpOutput(ost.FileIndex);
        RaiseFFmpeg("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", map.FileIndex,
                    map.StreamIndex, MediaTypeName(in_type), ost.FileIndex, ost.StreamIndex,
                    MediaTypeName(type));
      }
    } else {
      ost.SourceIndex = FindSource(ost);
      if (ost.SourceIndex < 0) {
        DumpOutput(ost.FileIndex);
        RaiseFFmpeg("Could not find input stream matching output stream #%d.%d (%s)",
                    ost.FileIndex, ost.StreamIndex, MediaTypeName(type));
      }
    }
    TInputStreamState& source = *InputStreams[ost.SourceIndex];
    source.Discard = false;
    ost.SyncInput = &source;
    if (!maps.empty()) {
      const TStreamMapEntry& map = maps[i];
      ost.SyncInput =
          InputStreams[InputFiles[map.SyncFileIndex].FirstStream + map.SyncStreamIndex].get();
    }
  }
}

// Stream copy parameters, or the encoding set-up of each output stream.
void TTranscoder::SetUpCodecParameters() {
  for (size_t i = 0; i < OutputStreams.size(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    TInputStreamState& ist = *InputStreams[ost.SourceIndex];
    // In join mode the groups after the first share the first group's streams.
    const bool shared = JoinMode() && static_cast<int>(i) >= group_size_;
    AVCodecContext* enc = ost.Encoder;
    AVCodecContext* dec = ist.Decoder;
    if (enc == nullptr || dec == nullptr) throw FFmpegException("invalid codec_type of output stream");

    if (!shared) {
      AVDictionaryEntry* lang = avutil.av_dict_get(ist.Stream->metadata, "language", nullptr, 0);
      if (lang && !avutil.av_dict_get(ost.Stream->metadata, "language", nullptr, 0))
        avutil.av_dict_set(&ost.Stream->metadata, "language", lang->value, 0);
      ost.Stream->disposition = ist.Stream->disposition;
      enc->bits_per_raw_sample = dec->bits_per_raw_sample;
      enc->chroma_sample_location = dec->chroma_sample_location;
    }

    if (!ost.EncodingNeeded) {
      if (!shared) SetUpStreamCopy(ost, ist);
      // Copied packets keep the input's time stamps, and some inputs (MPEG
      // program streams) leave the presentation time of reordered pictures
      // out; muxers such as Matroska refuse those. The demuxer fills them in.
      if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        InputFiles[ist.FileIndex].Context->flags |= AVFMT_FLAG_GENPTS;
      continue;
    }

    switch (enc->codec_type) {
      case AVMEDIA_TYPE_AUDIO: {
        ost.ReformatPair = -6;
        ost.AudioResample =
            (enc->sample_rate != dec->sample_rate || settings_.audio_sync_method > 1) ? 1 : 0;
        ist.DecodingNeeded = true;
        break;
      }
      case AVMEDIA_TYPE_VIDEO:
        SetUpVideoEncoding(ost, ist);
        ist.DecodingNeeded = true;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ist.DecodingNeeded = true;
        break;
      default:
        throw FFmpegException("invalid codec_type of output stream");
    }
    if (!shared && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
      OpenTwoPassLog(ost, static_cast<int>(i));
  }
}

void TTranscoder::SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecParameters* in = ist.Stream->codecpar;
  AVCodecParameters* out = ost.Stream->codecpar;
  AVCodecContext* enc = ost.Encoder;
  const uint32_t forced_tag = enc->codec_tag;
  const AVOutputFormat* format = OutputContext(ost)->oformat;

  switch (in->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (settings_.audio_volume != 256)
        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_VIDEO: {
      const TPictureWatchers watchers = host_.PictureWatchers();
      if (watchers.CustomHook)
        throw FFmpegException(
            "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (watchers.FrameHooks)
        throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      // A smart copy decodes only its edges: previews show what there is.
      if (watchers.Previews && !settings_.smart_copy)
        throw FFmpegException(
            "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }

  if (avcodec.avcodec_parameters_copy(out, in) < 0) throw FFmpegException("av_mallocz fail");
  uint32_t tag = forced_tag;
  if (tag == 0) {
    const AVCodecTag* const* table = format->codec_tag;
    if (table == nullptr || avformat.av_codec_get_id(table, in->codec_tag) != AV_CODEC_ID_NONE ||
        avformat.av_codec_get_tag(table, in->codec_id) == 0)
      tag = in->codec_tag;
  }
  out->codec_tag = tag;
  if (out->codec_type == AVMEDIA_TYPE_AUDIO &&
      ((out->block_align == 1 && out->codec_id == AV_CODEC_ID_MP3) ||
       out->codec_id == AV_CODEC_ID_AC3))
    out->block_align = 0;

  // The copy context mirrors the stream so that reports and positions can use it.
  avcodec.avcodec_parameters_to_context(enc, out);
  AVRational tb = ist.Stream->time_base;
  const AVCodecContext* dec = ist.Decoder;
  if (dec->time_base.num > 0 && dec->time_base.den > 0 && dec->ticks_per_frame > 0 &&
      av_q2d(dec->time_base) * dec->ticks_per_frame > av_q2d(tb) && av_q2d(tb) < 0.001) {
    tb = dec->time_base;
    tb.num *= dec->ticks_per_frame;
  }
  enc->time_base = tb;
  ost.Stream->time_base = tb;
  ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
  ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
  ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
  if (settings_.smart_copy && in->codec_type == AVMEDIA_TYPE_VIDEO) {
    TCutReport& report = records_.CutReport != nullptr ? *records_.CutReport : own_cut_report_;
    report = TCutReport{};
    if (JoinMode()) RefuseSmartJoin(in, format);
    auto smart = std::make_unique<TSmartVideo>(*this, ost, ist, settings_.start_time,
                                               RecordingEnd(), settings_.smart_reencode,
                                               host_.LogSender(), report);
    smart->SetUp();
    if (JoinMode() && smart->Whole())
      throw FFmpegException("The segments cannot be joined without re-encoding them: " +
                           report.Reason);
    smart_videos_.emplace_back(&ost, std::move(smart));
  }
}

void TTranscoder::RefuseSmartJoin(const AVCodecParameters* par,
                                  const AVOutputFormat* format) const {
  const std::string reason = SmartCutObstacle(par, format);
  if (!reason.empty())
    throw FFmpegException("The segments cannot be joined without re-encoding them: " + reason);
  for (const auto& file : records_.InputFiles)
    if (file->part_length <= 0)
      throw FFmpegException(
          "The segments cannot be joined without re-encoding them: a part has no end");
}

void TTranscoder::StartSmartPart(int k) {
  const int n = group_size_;
  for (auto& entry : smart_videos_) {
    // The video stream's record in the group of input k.
    const int index = k * n + entry.first->StreamIndex;
    if (index >= static_cast<int>(OutputStreams.size())) continue;
    entry.second->NextPart(*OutputStreams[index], part_start_, part_end_);
  }
}

bool TTranscoder::SmartPartsRead() const {
  for (const auto& entry : smart_videos_)
    if (!entry.second->PastEnd()) return false;
  return true;
}

TSmartVideo* TTranscoder::SmartVideo(const TOutputStreamState& ost) const {
  // A joined file's parts write one stream through each group's record.
  for (const auto& entry : smart_videos_)
    if (entry.first == &ost || (JoinMode() && entry.first->StreamIndex == ost.StreamIndex))
      return entry.second.get();
  return nullptr;
}

namespace {

// The full-range ("J") twin of a studio-range YUV format, or none.
AVPixelFormat FullRangeTwin(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P: return AV_PIX_FMT_YUVJ420P;
    case AV_PIX_FMT_YUV422P: return AV_PIX_FMT_YUVJ422P;
    case AV_PIX_FMT_YUV444P: return AV_PIX_FMT_YUVJ444P;
    case AV_PIX_FMT_YUV440P: return AV_PIX_FMT_YUVJ440P;
    default: return AV_PIX_FMT_NONE;
  }
}

bool IsFullRangeFormat(AVPixelFormat format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
         format == AV_PIX_FMT_YUVJ411P;
}

bool Lists(const AVPixelFormat* list, AVPixelFormat format) {
  for (; list != nullptr && *list != AV_PIX_FMT_NONE; ++list) {
    if (*list == format) return true;
  }
  return false;
}

// The source's colour description goes with its pictures. A full-range source
// keeps its range in the encoder's full-range twin of the chosen format when
// the encoder takes it; otherwise the scaler brings it to the studio range
// that format means. RGB and palette pictures carry no YUV matrix or range.
void KeepColourDescription(AVCodecContext* enc, const AVCodec* codec, const AVCodecContext* dec) {
  const AVPixelFormat twin = FullRangeTwin(enc->pix_fmt);
  if (IsFullRangeFormat(dec->pix_fmt) && twin == dec->pix_fmt && codec != nullptr &&
      Lists(codec->pix_fmts, twin)) {
    enc->pix_fmt = twin;
  }
  if (enc->color_primaries == AVCOL_PRI_UNSPECIFIED) enc->color_primaries = dec->color_primaries;
  if (enc->color_trc == AVCOL_TRC_UNSPECIFIED) enc->color_trc = dec->color_trc;
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(enc->pix_fmt);
  if (desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) ||
      desc->nb_components < 3) {
    return;
  }
  if (enc->colorspace == AVCOL_SPC_UNSPECIFIED) enc->colorspace = dec->colorspace;
  if (enc->color_range == AVCOL_RANGE_UNSPECIFIED) {
    if (IsFullRangeFormat(enc->pix_fmt)) {
      enc->color_range = AVCOL_RANGE_JPEG;
    } else if (IsFullRangeFormat(dec->pix_fmt)) {
      enc->color_range = AVCOL_RANGE_MPEG;
    } else {
      enc->color_range = dec->color_range;
    }
  }
}

}  // namespace

void TTranscoder::SetUpVideoEncoding(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  AVCodecContext* dec = ist.Decoder;
  const TRunSettings& s = settings_;
  if (enc->pix_fmt == AV_PIX_FMT_NONE)
    throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
  const TOutputStream& record = outputs_[ost.FileIndex]->streams[ost.StreamIndex];
  KeepColourDescription(enc, record.encoder, dec);
  // Without a frame rate of its own a variable-rate output keeps the source's
  // picture times, in the source's time base.
  if (record.source_times && ist.Stream->time_base.num > 0 && ist.Stream->time_base.den > 0)
    enc->time_base = ist.Stream->time_base;
  ost.VideoCrop = (s.crop_top + s.crop_bottom + s.crop_left + s.crop_right) != 0;
  ost.VideoPad = (s.pad_top + s.pad_bottom + s.pad_left + s.pad_right) != 0;
  // The pictures the path crops and scales are the decoded ones turned.
  const bool swapped = TurnSwapsSides(ost.Rotation);
  const int in_width = swapped ? dec->height : dec->width;
  const int in_height = swapped ? dec->width : dec->height;
  const AVPixelFormat in_format = RotatedFormat(dec->pix_fmt, ost.Rotation);
  const bool same_size =
      enc->width == in_width - s.crop_left - s.crop_right + s.pad_left + s.pad_right &&
      enc->height == in_height - s.crop_top - s.crop_bottom + s.pad_top + s.pad_bottom &&
      enc->pix_fmt == in_format;
  ost.VideoResample = same_size ? 0 : 1;
  if (ost.VideoCrop) {
    ost.CropTop = ost.InitialCropTop = s.crop_top;
    ost.CropBottom = ost.InitialCropBottom = s.crop_bottom;
    ost.CropLeft = ost.InitialCropLeft = s.crop_left;
    ost.CropRight = ost.InitialCropRight = s.crop_right;
  }
  auto alloc_temp = [&](const char* message) {
    ost.TempPicture.reset(avutil.av_frame_alloc());
    if (!ost.TempPicture) throw FFmpegException(message);
    ost.TempPicture->format = enc->pix_fmt;
    ost.TempPicture->width = enc->width;
    ost.TempPicture->height = enc->height;
    if (avutil.av_frame_get_buffer(ost.TempPicture.get(), 0) < 0) throw FFmpegException(message);
  };
  if (ost.VideoPad) {
    ost.PadTop = s.pad_top;
    ost.PadBottom = s.pad_bottom;
    ost.PadLeft = s.pad_left;
    ost.PadRight = s.pad_right;
    if (!ost.VideoResample) alloc_temp("avpicture_alloc fail");
  }
  // With a filter graph the graph's sink gives the encoder its pictures.
  if (ost.VideoResample && !s.filters_in_use) {
    alloc_temp("Cannot allocate temp picture, check pix fmt");
    ost.ScaleContext.reset(swscale.sws_getContext(
        in_width - s.crop_left - s.crop_right, in_height - s.crop_top - s.crop_bottom,
        in_format, enc->width - s.pad_left - s.pad_right,
        enc->height - s.pad_top - s.pad_bottom, enc->pix_fmt, s.sws_flags, nullptr, nullptr,
        nullptr));
    if (!ost.ScaleContext) throw FFmpegException("Cannot get resampling context");
    if (s.filters_in_use) {
      ost.ResampleHeight = in_height;
    } else {
      ost.InitialWidth = in_width;
      ost.InitialHeight = in_height;
      ost.ResampleWidth = in_width - s.crop_left - s.crop_right;
      ost.ResampleHeight = in_height - s.crop_top - s.crop_bottom;
      ost.ResamplePixFmt = in_format;
    }
    enc->bits_per_raw_sample = 0;
  }
  if (s.filters_in_use) ConfigureFilters(ost, ist);
}

namespace {

// The scaler's flag names, for the filter graph's scaler options.
std::string ScaleFlagNames(int flags) {
  static const struct {
    int flag;
    const char* name;
  } names[] = {{SWS_FAST_BILINEAR, "fast_bilinear"}, {SWS_BILINEAR, "bilinear"},
               {SWS_BICUBIC, "bicubic"},             {SWS_X, "experimental"},
               {SWS_POINT, "neighbor"},              {SWS_AREA, "area"},
               {SWS_BICUBLIN, "bicublin"},           {SWS_GAUSS, "gauss"},
               {SWS_SINC, "sinc"},                   {SWS_LANCZOS, "lanczos"},
               {SWS_SPLINE, "spline"}};
  std::string text;
  for (const auto& entry : names) {
    if (flags & entry.flag) {
      if (!text.empty()) text += "+";
      text += entry.name;
    }
  }
  return text.empty() ? "bicubic" : text;
}

struct TInOutDeleter {
  void operator()(AVFilterInOut* p) const { avfilter.avfilter_inout_free(&p); }
};
using TInOutPtr = std::unique_ptr<AVFilterInOut, TInOutDeleter>;

// The failure of a filter set-up: "Error opening filters!", or with the reason.
[[noreturn]] void FiltersFailed(const std::string& reason = "") {
  throw FFmpegException(reason.empty() ? "Error opening filters!"
                                       : "Error opening filters: " + reason);
}

}  // namespace

// The graph's ends: a buffer source with the decoder's pictures and a buffer
// sink giving the encoder's pixel format. Returns the source.
AVFilterContext* TTranscoder::MakeFilterEnds(AVCodecContext* enc, TInputStreamState& ist) {
  AVCodecContext* dec = ist.Decoder;
  AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                       : dec->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{0, 1};
  std::string args = FormatText("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d",
                                dec->width, dec->height, static_cast<int>(dec->pix_fmt),
                                AV_TIME_BASE, sar.num, sar.den);
  AVFilterContext* source = nullptr;
  if (avfilter.avfilter_graph_create_filter(&source, avfilter.avfilter_get_by_name("buffer"),
                                            "src", args.c_str(), nullptr, graph_.get()) < 0)
    FiltersFailed();
  AVFilterContext* sink = avfilter.avfilter_graph_alloc_filter(
      graph_.get(), avfilter.avfilter_get_by_name("buffersink"), "out");
  if (sink == nullptr) FiltersFailed();
  const AVPixelFormat formats[] = {enc->pix_fmt};
  if (avutil.av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                            sizeof(formats), AV_OPT_SEARCH_CHILDREN) < 0 ||
      avfilter.avfilter_init_str(sink, nullptr) < 0)
    FiltersFailed();
  ist.FilterSource = source;
  ist.FilterSink = sink;
  return source;
}

// Links `last` to `sink` through the user's filter chain, or directly.
void TTranscoder::LinkFilterChain(AVFilterContext* last, AVFilterContext* sink) {
  const std::string& chain = settings_.filter_description;
  if (chain.empty()) {
    if (avfilter.avfilter_link(last, 0, sink, 0) < 0) FiltersFailed();
    return;
  }
  TInOutPtr outputs(avfilter.avfilter_inout_alloc());
  TInOutPtr inputs(avfilter.avfilter_inout_alloc());
  if (!outputs || !inputs) FiltersFailed();
  outputs->name = avutil.av_strdup("in");
  outputs->filter_ctx = last;
  outputs->pad_idx = 0;
  inputs->name = avutil.av_strdup("out");
  inputs->filter_ctx = sink;
  inputs->pad_idx = 0;
  // The parser takes the ends it links and leaves the rest to their owners.
  TPointerLoan in_loan(inputs);
  TPointerLoan out_loan(outputs);
  if (avfilter.avfilter_graph_parse_ptr(graph_.get(), chain.c_str(), in_loan.Address(),
                                        out_loan.Address(), nullptr) < 0)
    FiltersFailed();
}

// Links a turn of `rotation` degrees clockwise after `last` (none for 0);
// returns the graph's new last filter.
AVFilterContext* TTranscoder::LinkTurn(AVFilterContext* last, int32_t rotation) {
  std::vector<std::pair<const char*, const char*>> steps;
  if (rotation == 90) steps = {{"transpose", "dir=clock"}};
  if (rotation == 270) steps = {{"transpose", "dir=cclock"}};
  if (rotation == 180) steps = {{"hflip", ""}, {"vflip", ""}};
  for (const auto& [name, args] : steps) {
    AVFilterContext* turn = nullptr;
    if (avfilter.avfilter_graph_create_filter(&turn, avfilter.avfilter_get_by_name(name), name,
                                              *args != 0 ? args : nullptr, nullptr,
                                              graph_.get()) < 0 ||
        avfilter.avfilter_link(last, 0, turn, 0) < 0)
      FiltersFailed();
    last = turn;
  }
  return last;
}

// The video filter graph between the decoder and the encoder.
void TTranscoder::ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  AVCodecContext* dec = ist.Decoder;
  const TRunSettings& s = settings_;
  if (s.crop_top || s.crop_bottom || s.crop_left || s.crop_right)
    FiltersFailed("Cannot enable crop options and filters at the same time.");
  if (ist.FilterSource != nullptr) return;  // one graph per input stream

  graph_.reset(avfilter.avfilter_graph_alloc());
  if (!graph_) FiltersFailed();
  AVFilterContext* last = MakeFilterEnds(enc, ist);
  AVFilterContext* sink = ist.FilterSink;
  last = LinkTurn(last, ost.Rotation);
  const bool swapped = TurnSwapsSides(ost.Rotation);
  const int in_width = swapped ? dec->height : dec->width;
  const int in_height = swapped ? dec->width : dec->height;

  const std::string sws = "flags=" + ScaleFlagNames(s.sws_flags);
  if (in_width + s.pad_left + s.pad_right != enc->width ||
      in_height + s.pad_top + s.pad_bottom != enc->height) {
    AVFilterContext* scale = nullptr;
    std::string scale_args = FormatText("w=%d:h=%d:", enc->width - s.pad_left - s.pad_right,
                                        enc->height - s.pad_top - s.pad_bottom) +
                             sws;
    if (avfilter.avfilter_graph_create_filter(&scale, avfilter.avfilter_get_by_name("scale"),
                                              "scale", scale_args.c_str(), nullptr,
                                              graph_.get()) < 0 ||
        avfilter.avfilter_link(last, 0, scale, 0) < 0)
      FiltersFailed();
    last = scale;
  }
  LinkFilterChain(last, sink);
  avutil.av_freep(&graph_->scale_sws_opts);
  graph_->scale_sws_opts = avutil.av_strdup(sws.c_str());
  if (avfilter.avfilter_graph_config(graph_.get(), nullptr) < 0) FiltersFailed();

  const int w = avfilter.av_buffersink_get_w(sink);
  const int h = avfilter.av_buffersink_get_h(sink);
  const bool padded = s.pad_top || s.pad_bottom || s.pad_left || s.pad_right;
  if (padded && (w != s.requested_width || h != s.requested_height)) {
    FiltersFailed(
        "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
        "rotate, scale, transpose, etc.)");
  }
  enc->width = w + s.pad_left + s.pad_right;
  enc->height = h + s.pad_top + s.pad_bottom;
}

void TTranscoder::OpenTwoPassLog(TOutputStreamState& ost, int index) {
  AVCodecContext* enc = ost.Encoder;
  std::string prefix =
      settings_.pass_logfile_prefix.empty() ? "ffmpeg2pass" : settings_.pass_logfile_prefix;
  std::string name = FormatText("%s-%d.log", prefix.c_str(), index);
  if (name.size() > 1023) name.resize(1023);
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    ost.LogFile.reset(myutil.my_fopen(name.c_str(), "w"));
    if (!ost.LogFile) RaiseFFmpeg("Cannot write log file %s for pass-1 encoding", name.c_str());
  } else {
    TCFilePtr file(myutil.my_fopen(name.c_str(), "r"));
    if (!file) RaiseFFmpeg("Cannot read log file %s for pass-2 encoding", name.c_str());
    FILE* f = file.get();
    myutil.my_fseek(f, 0, SEEK_END);
    long size = myutil.my_ftell(f);
    myutil.my_fseek(f, 0, SEEK_SET);
    char* text = size >= 0 ? static_cast<char*>(avutil.av_malloc(size + 1)) : nullptr;
    if (text == nullptr) throw FFmpegException("Could not allocate log buffer");
    size_t got = myutil.my_fread(text, 1, static_cast<size_t>(size), f);
    file.reset();
    text[got] = 0;
    avutil.av_freep(&enc->stats_in);
    enc->stats_in = text;
  }
}

// Encoders of the streams that re-encode (join mode: the first group).
void TTranscoder::OpenEncoders(bool subtitles) {
  for (int i = 0; i < OutputStreamsForSetUp(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    if (!ost.EncodingNeeded) continue;
    AVCodecContext* enc = ost.Encoder;
    if ((enc->codec_type == AVMEDIA_TYPE_SUBTITLE) != subtitles) continue;
    if (subtitles) {
      const AVCodecContext* dec = InputStreams[ost.SourceIndex]->Decoder;
      if (dec != nullptr && dec->subtitle_header != nullptr && enc->subtitle_header == nullptr) {
        enc->subtitle_header = static_cast<uint8_t*>(avutil.av_mallocz(dec->subtitle_header_size + 1));
        if (enc->subtitle_header == nullptr) throw FFmpegException("av_mallocz fail");
        std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
        enc->subtitle_header_size = dec->subtitle_header_size;
      }
      if (enc->time_base.num <= 0 || enc->time_base.den <= 0) enc->time_base = AV_TIME_BASE_Q;
    }
    OpenEncoder(ost);
  }
  // The groups after the first write through the first group's encoders.
  for (size_t i = OutputStreamsForSetUp(); i < OutputStreams.size(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    ost.Encoder = OutputStreams[i % group_size_]->Encoder;
  }
  if (subtitles) OpenBitstreamFilters();
}

// Opens one output stream's encoder (audio ones through the audio path) and
// fills the stream's parameters from it.
void TTranscoder::OpenEncoder(TOutputStreamState& ost) {
  AVCodecContext* enc = ost.Encoder;
  TOutputStream& record = outputs_[ost.FileIndex]->streams[ost.StreamIndex];
  if (OutputContext(ost)->oformat->flags & AVFMT_GLOBALHEADER)
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const char* type = MediaTypeName(enc->codec_type);
  auto open_failed = [&]() {
    ReportMapping();
    std::string text = FormatText(
        "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect "
        "parameters such as bit_rate, rate, width or height",
        ost.FileIndex, ost.StreamIndex, type);
    GetLogger().Log(host_.LogSender(), llError, text);
    throw FFmpegException(text);
  };
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
    std::string error;
    int code = 0;
    const AVOutputFormat* format = OutputContext(ost)->oformat;
    if (!audio_path_->OpenEncoder(ost, MuxerSkipsPriming(format, enc->codec_id), &error, &code,
                                  MuxerDelaysTrack(format, enc->codec_id))) {
      if (ost.EncoderCodec == nullptr && enc->codec_id != AV_CODEC_ID_AMR_NB &&
          avcodec.avcodec_find_encoder(enc->codec_id) == nullptr) {
        RaiseCodecNotFound("Encoder", "output", enc->codec_id, ost.FileIndex, ost.StreamIndex,
                           type);
      }
      if (!error.empty()) GetLogger().Log(host_.LogSender(), llError, error);
      open_failed();
    }
  } else {
    const AVCodec* codec = ost.EncoderCodec;
    if (codec == nullptr) codec = avcodec.avcodec_find_encoder(enc->codec_id);
    if (codec == nullptr) {
      RaiseCodecNotFound("Encoder", "output", enc->codec_id, ost.FileIndex, ost.StreamIndex,
                         type);
    }
    int ret;
    {
      std::lock_guard<std::mutex> lock(CodecLock());
      ret = avcodec.avcodec_open2(enc, codec, nullptr);
    }
    if (ret < 0) open_failed();
  }
  opened_encoders_.push_back(&record.encoder_context);
  ExtraSize += static_cast<uint64_t>(std::max(enc->extradata_size, 0));
  if (avcodec.avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
    throw FFmpegException("av_mallocz fail");
  ost.Stream->time_base = enc->time_base;
  if (enc->codec_type == AVMEDIA_TYPE_VIDEO && enc->framerate.num > 0)
    ost.Stream->avg_frame_rate = enc->framerate;
}

// Bitstream filters, once the streams' parameters are final.
void TTranscoder::OpenBitstreamFilters() {
  for (int i = 0; i < OutputStreamsForSetUp(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    for (const std::string& name :
         outputs_[ost.FileIndex]->streams[ost.StreamIndex].bitstream_filters) {
      AVBSFContextPtr bsf;
      int ret = 0;
      {
        TPointerLoan loan(bsf);
        ret = avcodec.av_bsf_list_parse_str(name.c_str(), loan.Address());
      }
      if (ret < 0 || !bsf) RaiseFFmpeg("Unknown bitstream filter %s", name.c_str());
      const AVCodecParameters* in =
          ost.Bitstream.empty() ? ost.Stream->codecpar : ost.Bitstream.back()->par_out;
      AVRational tb =
          ost.Bitstream.empty() ? ost.Stream->time_base : ost.Bitstream.back()->time_base_out;
      avcodec.avcodec_parameters_copy(bsf->par_in, in);
      bsf->time_base_in = tb;
      if (avcodec.av_bsf_init(bsf.get()) < 0)
        RaiseFFmpeg("Error initializing bitstream filter: %s", name.c_str());
      ost.Bitstream.push_back(std::move(bsf));
    }
    if (!ost.Bitstream.empty())
      avcodec.avcodec_parameters_copy(ost.Stream->codecpar, ost.Bitstream.back()->par_out);
  }
}

void TTranscoder::RaiseCodecNotFound(const char* kind, const char* direction, AVCodecID id,
                                     int file_index, int stream_index, const char* type) {
  ReportMapping();
  std::string text = FormatText("%s (codec id %d) not found for %s stream #%d.%d (%s)", kind,
                                static_cast<int>(id), direction, file_index, stream_index, type);
  GetLogger().Log(host_.LogSender(), llError, text);
  throw FFmpegException(text);
}

// Decoders of the streams something is decoded from.
void TTranscoder::OpenDecoders() {
  for (auto& ist_ptr : InputStreams) {
    TInputStreamState& ist = *ist_ptr;
    if (!ist.DecodingNeeded) continue;
    AVCodecContext* dec = ist.Decoder;
    const char* type = MediaTypeName(dec->codec_type);
    const AVCodec* codec = ist.DecoderCodec;
    if (codec == nullptr) codec = avcodec.avcodec_find_decoder(dec->codec_id);
    if (codec == nullptr) {
      RaiseCodecNotFound("Decoder", "input", dec->codec_id, ist.FileIndex, ist.StreamIndex, type);
    }
    dec->pkt_timebase = ist.Stream->time_base;
    int ret;
    {
      std::lock_guard<std::mutex> lock(CodecLock());
      ret = avcodec.avcodec_open2(dec, codec, nullptr);
    }
    if (ret < 0) {
      ReportMapping();
      std::string text = FormatText("Error while opening decoder for input stream #%d.%d (%s)",
                                    ist.FileIndex, ist.StreamIndex, type);
      GetLogger().Log(host_.LogSender(), llError, text);
      throw FFmpegException(text);
    }
    opened_decoders_.push_back(&records_.InputFiles[ist.FileIndex]->streams[ist.StreamIndex]
                                   .decoder_context);
  }
}

// Metadata maps.
void TTranscoder::CopyMetadata() {
  for (const TMetaDataMap& map : records_.MetaDataMaps) {
    if (map.OutFile < 0 || map.OutFile >= static_cast<int>(records_.OutputFiles.size())) {
      ReportMapping();
      RaiseFFmpeg("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile, map.OutFile,
                  map.InFile);
    }
    if (map.InFile < 0 || map.InFile >= static_cast<int>(InputFiles.size())) {
      ReportMapping();
      RaiseFFmpeg("Invalid input file index %d map_meta_data(%d,%d)", map.InFile, map.OutFile,
                  map.InFile);
    }
    AVFormatContext* out = records_.OutputFiles[map.OutFile]->context.Get();
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = avutil.av_dict_get(InputFiles[map.InFile].Context->metadata, "", entry,
                                       AV_DICT_IGNORE_SUFFIX)) != nullptr)
      avutil.av_dict_set(&out->metadata, entry->key, entry->value, 0);
  }
}

// Headers (join mode: the one output file once).
void TTranscoder::WriteHeaders() {
  const size_t count = JoinMode() ? std::min<size_t>(outputs_.size(), 1) : outputs_.size();
  all_rtp_ = count > 0;
  for (size_t i = 0; i < count; ++i) {
    AVFormatContext* ctx = outputs_[i]->context.Get();
    int ret = avformat.avformat_write_header(ctx, nullptr);
    if (ret < 0) {
      ReportMapping();
      std::string text = FormatText(
          "Could not write header for output file #%d (incorrect codec parameters ?)",
          static_cast<int>(i));
      GetLogger().Log(host_.LogSender(), llError, text);
      throw FFmpegException(text);
    }
    if (std::strcmp(ctx->oformat->name, "rtp") != 0) all_rtp_ = false;
  }
  if (all_rtp_) {
    std::vector<AVFormatContext*> contexts;
    for (size_t i = 0; i < count; ++i) contexts.push_back(outputs_[i]->context.Get());
    char sdp[2048] = {0};
    avformat.av_sdp_create(contexts.data(), static_cast<int>(contexts.size()), sdp, sizeof(sdp));
    std::string text(sdp);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
      text.pop_back();
    GetLogger().Log(host_.LogSender(), llInfo, "SDP:\r\n" + text);
  }
}

// The output files' formats and the "Stream mapping:" block.
void TTranscoder::ReportMapping() {
  const size_t count = JoinMode() ? std::min<size_t>(outputs_.size(), 1) : outputs_.size();
  for (size_t i = 0; i < count; ++i) DumpOutput(static_cast<int>(i));
  if (records_.Verbosity < 0) return;
  GetLogger().Log(host_.LogSender(), llVerbose, "Stream mapping:");
  for (int i = 0; i < OutputStreamsForSetUp(); ++i) {
    const TOutputStreamState& ost = *OutputStreams[i];
    const TInputStreamState& ist = *InputStreams[ost.SourceIndex];
    GetLogger().Logf(host_.LogSender(), llVerbose, "  Stream #%d.%d -> #%d.%d (%s)", ist.FileIndex,
                     ist.StreamIndex, JoinMode() ? 0 : ost.FileIndex, ost.StreamIndex,
                     MediaTypeName(ost.Stream->codecpar->codec_type));
    if (ost.SyncInput != nullptr && ost.SyncInput != &ist)
      GetLogger().Logf(host_.LogSender(), llVerbose, " [sync #%d.%d (%s)]", ost.SyncInput->FileIndex,
                       ost.SyncInput->StreamIndex,
                       MediaTypeName(ost.SyncInput->Stream->codecpar->codec_type));
  }
}

// Closes every codec the run opened that is still open (freed under CodecLock by
// its owner's deleter). Runs at the end of the run and on every way out.
void TTranscoder::CloseCodecs() {
  // The paths' encoders only wrap the contexts: they go first.
  audio_path_.reset();
  video_path_.reset();
  for (AVCodecContextPtr* owner : opened_encoders_) {
    if (*owner) avutil.av_freep(&(*owner)->stats_in);
    owner->reset();
  }
  opened_encoders_.clear();
  for (AVCodecContextPtr* owner : opened_decoders_) owner->reset();
  opened_decoders_.clear();
  for (auto& ost : OutputStreams) ost->Encoder = nullptr;
  for (auto& ist : InputStreams) ist->Decoder = nullptr;
}

// Releases the run tables and what they own. Harmless when run twice.
void TTranscoder::Release() {
  smart_videos_.clear();
  decoded_sound_.clear();
  OutputStreams.clear();
  InputStreams.clear();
  InputFiles.clear();
  read_ahead_.clear();
  graph_.reset();
}

}  // namespace kelvane
