// Fuzz target "probe": the media probe on arbitrary bytes. The first two bytes
// choose the demuxer: 0 lets the libraries recognise the content, as opening a
// file does; n opens it with the n-th demuxer the libraries have (counting
// round), so that every one of them meets damaged input. The rest is the file,
// read through an I/O context over memory. The probe adopts the opened input
// and is asked all it answers: the file's facts, each stream's codec
// description and type name, each video stream's facts. A failed open gives
// its error text instead; an input the probe refuses after opening
// (CheckOpenedInput) is refused here too.
//
// Demuxers that open further files or connections (playlists, SDP, image
// sequences) are refused every such open; a deadline stops library waits.
#include <chrono>
#include <cstring>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/UnicodeProtocol.h"
#include "probe/AVProbe.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace kelvane;
using TClock = std::chrono::steady_clock;

constexpr int kBufferSize = 4096;
constexpr auto kDeadline = std::chrono::seconds(5);

std::vector<const AVInputFormat*> demuxers;

// Reads from the input's bytes; owns its library I/O context.
class TMemoryInput {
 public:
  TMemoryInput(const uint8_t* data, size_t size) : data_(data), size_(size) {
    auto* buffer = static_cast<uint8_t*>(avutil.av_malloc(kBufferSize));
    context_ = avformat.avio_alloc_context(buffer, kBufferSize, 0, this, &Read, nullptr, &Seek);
  }
  ~TMemoryInput() {
    if (context_ == nullptr) return;
    avutil.av_freep(&context_->buffer);
    avformat.avio_context_free(&context_);
  }
  AVIOContext* Context() const { return context_; }

 private:
  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<TMemoryInput*>(opaque);
    const size_t count = std::min(static_cast<size_t>(size), self->size_ - self->position_);
    if (count == 0) return AVERROR_EOF;
    memcpy(buffer, self->data_ + self->position_, count);
    self->position_ += count;
    return static_cast<int>(count);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<TMemoryInput*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return static_cast<int64_t>(self->size_);
    int64_t base = whence == SEEK_CUR ? static_cast<int64_t>(self->position_)
                   : whence == SEEK_END ? static_cast<int64_t>(self->size_)
                                        : 0;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
    if (offset > static_cast<int64_t>(self->size_) - base || offset < -base) return AVERROR(EINVAL);
    self->position_ = static_cast<size_t>(base + offset);
    return static_cast<int64_t>(self->position_);
  }

  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  AVIOContext* context_ = nullptr;
};

// Demuxers whose faults on damaged input lie inside the libraries, where our
// code cannot steer around them; the target leaves them out so that it goes on
// finding new faults. Each has a reproducer in tests/fuzz/reproducers.
bool KnownFaulty(const AVInputFormat* format) {
  static const char* const kFaulty[] = {
      "vqf",  // a tag cut short by the end of the file leaks its buffer
  };
  for (const char* name : kFaulty) {
    if (strcmp(format->name, name) == 0) return true;
  }
  return false;
}

int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

int PastDeadline(void* opaque) { return TClock::now() > *static_cast<TClock::time_point*>(opaque); }

void AskEverything(TAVProbe& probe) {
  probe.GetFileStreamInfo();
  probe.GetVideoStreamInfo();
  AVFormatContext* context = probe.FormatContext();
  for (int i = -1; i <= probe.StreamCount(); ++i) {
    probe.GetVideoStreamInfoOf(i);
    if (i < 0 || i >= probe.StreamCount()) continue;
    CodecDescription(context->streams[i]->codecpar);
    CodecTypeName(context->streams[i]->codecpar->codec_type);
  }
}

void ProbeInput(const AVInputFormat* format, TMemoryInput& memory) {
  AVFormatContext* context = avformat.avformat_alloc_context();
  TClock::time_point deadline = TClock::now() + kDeadline;
  context->pb = memory.Context();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  context->io_open = &RefuseOpen;
  context->interrupt_callback = {&PastDeadline, &deadline};
  AVDictionary* options = nullptr;
  avutil.av_dict_set(&options, "protocol_whitelist", "none", 0);
  int error = avformat.avformat_open_input(&context, "", format, &options);
  avutil.av_dict_free(&options);
  if (error < 0) {
    OpenErrorText(error, "input");
    return;
  }
  AVInputFormatContextPtr opened(context);
  if (error = CheckOpenedInput(context); error < 0) {
    OpenErrorText(error, "input");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(context, nullptr);
  }
  if (error < 0) return;
  TAVProbe probe;
  probe.AttachContext(context);
  AskEverything(probe);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::StartFuzzing();
  void* state = nullptr;
  while (const AVInputFormat* format = avformat.av_demuxer_iterate(&state)) {
    demuxers.push_back(format);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  const uint16_t choice = input.Word();
  const AVInputFormat* format = choice == 0 ? nullptr : demuxers[(choice - 1) % demuxers.size()];
  TMemoryInput memory(input.Rest(), input.RestSize());
  // The same recognition avformat_open_input makes, done first to know the demuxer.
  if (format == nullptr) {
    const int error =
        avformat.av_probe_input_buffer2(memory.Context(), &format, "", nullptr, 0, 0);
    if (error < 0) OpenErrorText(error, "input");
  }
  if (format != nullptr && !KnownFaulty(format)) ProbeInput(format, memory);
  fuzz::RestoreProcessState();
  return 0;
}
