// Opening what the run writes with: two-pass logs, encoders, bitstream
// filters and decoders; then metadata, headers and the mapping report.
#include "engine/core/Transcoder.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

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

}  // namespace kelvane
