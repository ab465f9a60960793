// Join mode's parts: each part's times, a chapter per part, the smart copies
// that write the parts, and the chapters trimmed to what a stopped run wrote.
#include "engine/core/Transcoder.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/core/FFmpegException.h"

namespace kelvane {

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

}  // namespace kelvane
