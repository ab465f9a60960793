// The run tables: a state record per input file, input stream and output
// stream, and the input stream each output stream takes its units from.
#include "engine/core/Transcoder.h"

#include <algorithm>
#include <utility>

#include "binding/PictureRotation.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

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

}  // namespace kelvane
