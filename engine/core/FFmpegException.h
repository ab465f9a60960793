// FFmpegException: the one error class of the conversion engine, and the
// texts its messages are made of.
//
// Every failure of an option handler, of a task's set-up or of a running task
// is raised as an FFmpegException carrying a fixed English message. Nothing in
// the engine ends the process; the exception is caught at the component's
// set-up calls (AddTask, SetOutput) and at the end of a task's run. The core
// and the set-up above it share the texts for library error codes and media
// types (ErrorText, MediaTypeName).
//
// Threads: any; the class holds no shared state.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace kelvane {

class FFmpegException : public std::runtime_error {
 public:
  explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
  explicit FFmpegException(const char* message) : std::runtime_error(message) {}
};

// printf-style formatting into a std::string, for the engine's message patterns.
inline std::string VFormatText(const char* pattern, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  return text;
}

__attribute__((format(printf, 1, 2))) inline std::string FormatText(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  std::string text = VFormatText(pattern, args);
  va_end(args);
  return text;
}

// Raises an FFmpegException with a formatted message.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void RaiseFFmpeg(const char* pattern,
                                                                           ...) {
  va_list args;
  va_start(args, pattern);
  std::string text = VFormatText(pattern, args);
  va_end(args);
  throw FFmpegException(text);
}

// "Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown".
const char* MediaTypeName(int type);

// The message for a library error code about `subject` ("%s: I/O error occurred..").
std::string ErrorText(const std::string& subject, int code);

}  // namespace kelvane
