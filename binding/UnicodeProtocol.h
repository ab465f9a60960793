// File names for the media libraries, and the "unicode" file protocol.
//
// A name the locale's narrow character set cannot carry (any non-ASCII name
// under the C locale; nothing under a UTF-8 locale) is handed to the libraries
// as the URL "unicode:utf8:<name>". FFmpeg cannot be taught a new protocol, so
// whoever opens such a URL attaches its own I/O context over a POSIX file
// descriptor (TUnicodeIO) to the format context. The classes below do that for
// the caller; every file the probe, the engine and the player open goes through
// them:
//
//   // Input (probe, engine, player reader):
//   TInputContext input;
//   AVFormatContext* prepared = avformat.avformat_alloc_context();   // optional:
//   prepared->interrupt_callback = {...};                            // settings made
//   int error = OpenInputContext(ToLibraryFileName(name), nullptr,   // before opening
//                                &options, input, prepared);
//   if (error < 0) ... report OpenErrorText; `prepared` is gone either way ...
//   avformat.avformat_find_stream_info(input.Get(), nullptr);  // under CodecLock
//   // ~TInputContext closes the input, then frees the custom I/O context.
//
//   // Output (engine):
//   TOutputContext output;
//   int error = output.Allocate(nullptr, "mp4", ToLibraryFileName(name));
//   ... add streams ...
//   if (!(output->oformat->flags & AVFMT_NOFILE))
//     error = OpenOutputIO(output, ToLibraryFileName(name));   // creates or truncates
//   avformat.avformat_write_header(output.Get(), &options); ... av_write_trailer ...
//   error = output.CloseIO();   // flushes; a write error of the last bytes shows here
//   // ~TOutputContext closes the I/O (if still open), then frees the context.
//
// Threads: the name functions keep no state and may run on any thread (they read
// the current locale). An I/O context is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "binding/FFmpegLoader.h"

namespace kelvane {

inline constexpr const char* kUnicodeURLPrefix = "unicode:utf8:";

// True when the libraries must get `name` as a "unicode:utf8:" URL: it does not
// survive a round trip through the locale's narrow character set. Names that
// begin with a protocol the libraries know ("http:", "pipe:", ...) never do.
bool NeedsUnicodeProtocol(const std::string& name);
// The name to give the libraries: the URL when needed, else the name itself.
std::string ToLibraryFileName(const std::string& name);
// At least 14 bytes and beginning with "unicode:utf8:".
bool IsUnicodeURL(const std::string& library_name);
// The file name behind a library name (the inverse of ToLibraryFileName).
std::string FromLibraryFileName(const std::string& library_name);

// An AVIOContext over a POSIX file descriptor: the "unicode" protocol.
// Owns the descriptor and the context; the destructor flushes (when writing)
// and frees both. Detach it from any format context before it goes.
class TUnicodeIO {
 public:
  ~TUnicodeIO();
  TUnicodeIO(const TUnicodeIO&) = delete;
  TUnicodeIO& operator=(const TUnicodeIO&) = delete;

  // Opens a "unicode:utf8:" URL or a plain file name. `flags`: AVIO_FLAG_READ
  // opens an existing file for reading; AVIO_FLAG_WRITE creates or truncates for
  // writing; AVIO_FLAG_READ_WRITE creates or truncates for both. On failure
  // returns null and stores a negative AVERROR code in `error`.
  static std::unique_ptr<TUnicodeIO> Open(const std::string& name, int flags, int& error);

  AVIOContext* Context() const { return context_; }
  // Flushes buffered output and closes the file; returns 0 or the first write
  // error. Safe to call twice.
  int Close();

 private:
  TUnicodeIO() = default;
  static int Read(void* opaque, uint8_t* buffer, int size);
  static int Write(void* opaque, uint8_t* buffer, int size);
  static int64_t Seek(void* opaque, int64_t offset, int whence);

  int fd_ = -1;
  bool writing_ = false;
  AVIOContext* context_ = nullptr;
};

// A demuxing format context together with the I/O context it reads through.
class TInputContext {
 public:
  TInputContext() = default;
  ~TInputContext() { Close(); }
  TInputContext(const TInputContext&) = delete;
  TInputContext& operator=(const TInputContext&) = delete;

  AVFormatContext* Get() const { return context_; }
  AVFormatContext* operator->() const { return context_; }
  explicit operator bool() const { return context_ != nullptr; }
  // Closes the input (avformat_close_input), then frees a custom I/O context.
  void Close();

 private:
  friend int OpenInputContext(const std::string&, const AVInputFormat*, AVDictionary**,
                              TInputContext&, AVFormatContext*);
  AVFormatContext* context_ = nullptr;
  std::unique_ptr<TUnicodeIO> io_;
};

// Opens `library_name` (from ToLibraryFileName) for reading into `input`, which
// is closed first. `prepared`, when given, is a context from
// avformat_alloc_context carrying settings to open with; it is owned from here
// on (freed on failure). Returns 0 or the negative AVERROR code.
int OpenInputContext(const std::string& library_name, const AVInputFormat* format,
                     AVDictionary** options, TInputContext& input,
                     AVFormatContext* prepared = nullptr);

// 0 for an input just opened, or AVERROR_INVALIDDATA when decoding it would
// never end: libjxl waits for ever for the rest of a JPEG XL picture shorter
// than its 12-byte signature. OpenInputContext refuses such inputs; whoever
// opens an input another way asks this before reading packets.
int CheckOpenedInput(AVFormatContext* context);

// A muxing format context together with the I/O context it writes through.
class TOutputContext {
 public:
  TOutputContext() = default;
  ~TOutputContext();
  TOutputContext(const TOutputContext&) = delete;
  TOutputContext& operator=(const TOutputContext&) = delete;

  // avformat_alloc_output_context2 with the given format, format name or file
  // name (one of them is enough). Returns 0 or a negative AVERROR code.
  int Allocate(const AVOutputFormat* format, const char* format_name,
               const std::string& library_name);
  // Takes over a context made elsewhere (with avformat_alloc_output_context2).
  void Adopt(AVFormatContext* context);

  AVFormatContext* Get() const { return context_; }
  AVFormatContext* operator->() const { return context_; }
  explicit operator bool() const { return context_ != nullptr; }
  bool IOOpen() const { return context_ != nullptr && context_->pb != nullptr; }

  // Flushes and closes the I/O context and detaches it; returns 0 or the first
  // write error. The format context stays.
  int CloseIO();

 private:
  friend int OpenOutputIO(TOutputContext&, const std::string&, AVDictionary**);
  AVFormatContext* context_ = nullptr;
  std::unique_ptr<TUnicodeIO> io_;
};

// Opens the output file for `output`'s context (creating or truncating it):
// through the unicode protocol for a "unicode:utf8:" URL, with avio_open2
// otherwise. Returns 0 or the negative AVERROR code.
int OpenOutputIO(TOutputContext& output, const std::string& library_name,
                 AVDictionary** options = nullptr);

}  // namespace kelvane
