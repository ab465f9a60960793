#include "binding/UnicodeProtocol.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelvane {
namespace {

// Names starting with one of these words and a colon are URLs the libraries
// open themselves.
constexpr const char* kKnownProtocols = ":unicode:stream:gopher:http:https:pipe:rtp:tcp:udp:";

constexpr int kIOBufferSize = 32768;

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Converts `text` with an open conversion descriptor; false when some
// character cannot be converted.
bool Convert(iconv_t cd, const std::string& text, std::string& result) {
  result.clear();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[256];
  while (in_left > 0) {
    char* out = buffer;
    size_t out_left = sizeof buffer;
    size_t done = iconv(cd, &in, &in_left, &out, &out_left);
    result.append(buffer, out - buffer);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) return false;
  }
  char* out = buffer;
  size_t out_left = sizeof buffer;
  if (iconv(cd, nullptr, nullptr, &out, &out_left) == static_cast<size_t>(-1)) return false;
  result.append(buffer, out - buffer);
  return true;
}

// True when `name` comes back unchanged from the locale's narrow character set.
bool SurvivesNarrowCharset(const std::string& name) {
  if (IsAscii(name)) return true;
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr) return false;
  if (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0) return true;
  iconv_t to_narrow = iconv_open(codeset, "UTF-8");
  if (to_narrow == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_t to_utf8 = iconv_open("UTF-8", codeset);
  if (to_utf8 == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(to_narrow);
    return false;
  }
  std::string narrow, back;
  bool same = Convert(to_narrow, name, narrow) && Convert(to_utf8, narrow, back) && back == name;
  iconv_close(to_utf8);
  iconv_close(to_narrow);
  return same;
}

}  // namespace

bool NeedsUnicodeProtocol(const std::string& name) {
  size_t colon = name.find(':');
  if (colon != std::string::npos) {
    std::string word = ":";
    word.append(name, 0, colon);
    word += ':';
    if (std::string(kKnownProtocols).find(word) != std::string::npos) return false;
  }
  return !SurvivesNarrowCharset(name);
}

std::string ToLibraryFileName(const std::string& name) {
  // Linux file names are bytes: a name that needs no protocol is handed over
  // exactly as it is, so that the libraries open the very same file.
  if (NeedsUnicodeProtocol(name)) return kUnicodeURLPrefix + name;
  return name;
}

bool IsUnicodeURL(const std::string& library_name) {
  const std::string prefix = kUnicodeURLPrefix;
  return library_name.size() > prefix.size() && library_name.compare(0, prefix.size(), prefix) == 0;
}

std::string FromLibraryFileName(const std::string& library_name) {
  if (IsUnicodeURL(library_name)) return library_name.substr(std::string(kUnicodeURLPrefix).size());
  return library_name;
}

// ---- TUnicodeIO ------------------------------------------------------------

std::unique_ptr<TUnicodeIO> TUnicodeIO::Open(const std::string& name, int flags, int& error) {
  const std::string path = FromLibraryFileName(name);
  const bool write = (flags & AVIO_FLAG_WRITE) != 0;
  int mode = O_RDONLY;
  if (write) mode = ((flags & AVIO_FLAG_READ) ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = open(path.c_str(), mode | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = AVERROR(errno);
    return nullptr;
  }
  std::unique_ptr<TUnicodeIO> io(new TUnicodeIO);
  io->fd_ = fd;
  io->writing_ = write;
  auto* buffer = static_cast<unsigned char*>(avutil.av_malloc(kIOBufferSize));
  if (buffer == nullptr) {
    error = AVERROR(ENOMEM);
    return nullptr;
  }
  io->context_ = avformat.avio_alloc_context(buffer, kIOBufferSize, write ? 1 : 0, io.get(),
                                             &TUnicodeIO::Read,
                                             write ? &TUnicodeIO::Write : nullptr,
                                             &TUnicodeIO::Seek);
  if (io->context_ == nullptr) {
    avutil.av_free(buffer);
    error = AVERROR(ENOMEM);
    return nullptr;
  }
  error = 0;
  return io;
}

TUnicodeIO::~TUnicodeIO() { Close(); }

int TUnicodeIO::Close() {
  int result = 0;
  if (context_ != nullptr) {
    if (writing_) {
      avformat.avio_flush(context_);
      result = context_->error;
    }
    // The library may have replaced the buffer; free the one it holds now.
    avutil.av_freep(&context_->buffer);
    avformat.avio_context_free(&context_);
  }
  if (fd_ >= 0) {
    if (close(fd_) != 0 && result == 0 && writing_) result = AVERROR(errno);
    fd_ = -1;
  }
  return result;
}

int TUnicodeIO::Read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<TUnicodeIO*>(opaque);
  ssize_t count;
  do {
    count = read(self->fd_, buffer, size);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return AVERROR(errno);
  if (count == 0) return AVERROR_EOF;
  return static_cast<int>(count);
}

int TUnicodeIO::Write(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<TUnicodeIO*>(opaque);
  int written = 0;
  while (written < size) {
    ssize_t count = write(self->fd_, buffer + written, size - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    written += static_cast<int>(count);
  }
  return written;
}

int64_t TUnicodeIO::Seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<TUnicodeIO*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    if (fstat(self->fd_, &st) != 0) return AVERROR(errno);
    return st.st_size;
  }
  off_t position = lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
  if (position < 0) return AVERROR(errno);
  return position;
}

// ---- opening ----------------------------------------------------------------

// A named pipe opens only once its other end is opened, which may be never: the
// task would wait for ever. Splitting needs a file it can seek in anyway; a
// deliberate stream goes through the "pipe:" protocol instead.
int RefuseNamedPipe(const std::string& library_name) {
  struct stat st;
  if (stat(FromLibraryFileName(library_name).c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
    return AVERROR(ESPIPE);
  return 0;
}

// ---- TInputContext ---------------------------------------------------------

void TInputContext::Close() {
  if (context_ != nullptr) avformat.avformat_close_input(&context_);
  io_.reset();
}

int OpenInputContext(const std::string& library_name, const AVInputFormat* format,
                     AVDictionary** options, TInputContext& input, AVFormatContext* prepared) {
  input.Close();
  if (int refused = RefuseNamedPipe(library_name); refused < 0) {
    if (prepared != nullptr) avformat.avformat_free_context(prepared);
    return refused;
  }
  AVFormatContext* context = prepared;
  std::unique_ptr<TUnicodeIO> io;
  std::string url = library_name;
  if (IsUnicodeURL(library_name)) {
    int error = 0;
    io = TUnicodeIO::Open(library_name, AVIO_FLAG_READ, error);
    if (!io) {
      if (context != nullptr) avformat.avformat_free_context(context);
      return error;
    }
    if (context == nullptr) context = avformat.avformat_alloc_context();
    if (context == nullptr) return AVERROR(ENOMEM);
    context->pb = io->Context();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The plain name keeps its extension for format probing.
    url = FromLibraryFileName(library_name);
  }
  // avformat_open_input frees the context on failure (not a custom pb).
  int error = avformat.avformat_open_input(&context, url.c_str(), format, options);
  if (error < 0) return error;
  input.context_ = context;
  input.io_ = std::move(io);
  error = CheckOpenedInput(context);
  if (error < 0) input.Close();
  return error;
}

int CheckOpenedInput(AVFormatContext* context) {
  constexpr int64_t kJpegXlSignatureSize = 12;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (context->streams[i]->codecpar->codec_id != AV_CODEC_ID_JPEGXL) continue;
    // A picture is one packet of the whole file, or its first 4096 bytes.
    const int64_t size = context->pb != nullptr ? avformat.avio_size(context->pb) : -1;
    if (size >= 0 && size < kJpegXlSignatureSize) return AVERROR_INVALIDDATA;
  }
  return 0;
}

// ---- TOutputContext --------------------------------------------------------

TOutputContext::~TOutputContext() {
  CloseIO();
  if (context_ != nullptr) avformat.avformat_free_context(context_);
}

int TOutputContext::Allocate(const AVOutputFormat* format, const char* format_name,
                             const std::string& library_name) {
  CloseIO();
  if (context_ != nullptr) {
    avformat.avformat_free_context(context_);
    context_ = nullptr;
  }
  // The libraries guess the format from the plain name's extension.
  const std::string name = FromLibraryFileName(library_name);
  return avformat.avformat_alloc_output_context2(&context_, format, format_name,
                                                 name.empty() ? nullptr : name.c_str());
}

void TOutputContext::Adopt(AVFormatContext* context) {
  CloseIO();
  if (context_ != nullptr) avformat.avformat_free_context(context_);
  context_ = context;
}

int TOutputContext::CloseIO() {
  int result = 0;
  if (io_) {
    if (context_ != nullptr && context_->pb == io_->Context()) context_->pb = nullptr;
    result = io_->Close();
    io_.reset();
  } else if (context_ != nullptr && context_->pb != nullptr &&
             !(context_->flags & AVFMT_FLAG_CUSTOM_IO)) {
    avformat.avio_flush(context_->pb);
    result = context_->pb->error;
    int closed = avformat.avio_closep(&context_->pb);
    if (result == 0) result = closed;
  }
  return result;
}

int OpenOutputIO(TOutputContext& output, const std::string& library_name, AVDictionary** options) {
  if (!output) return AVERROR(EINVAL);
  output.CloseIO();
  if (int refused = RefuseNamedPipe(library_name); refused < 0) return refused;
  AVFormatContext* context = output.context_;
  if (IsUnicodeURL(library_name)) {
    int error = 0;
    output.io_ = TUnicodeIO::Open(library_name, AVIO_FLAG_WRITE, error);
    if (!output.io_) return error;
    context->pb = output.io_->Context();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    return 0;
  }
  context->flags &= ~AVFMT_FLAG_CUSTOM_IO;
  return avformat.avio_open2(&context->pb, library_name.c_str(), AVIO_FLAG_WRITE,
                             &context->interrupt_callback, options);
}

}  // namespace kelvane
