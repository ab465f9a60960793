// A queue of demultiplexed packets between the player's reader thread and one
// decoder (the video decode thread or the sound callback).
//
// Besides packets it carries two markers: the flush packet, which the reader
// puts in after a seek (the consumer flushes its decoder and starts the new
// serial's picture or sound from the seek's target), and the empty packet
// that asks the decoder for its delayed frames at the end of the file.
//
// Never full by itself: the reader stops adding while Size() is above its limit.
// Abort wakes a blocked Get and makes every later Get fail; Flush drops what is
// queued. The destructor frees whatever is left.
//
// Threads: Put* on the reader thread, Get on the consumer's, the rest on any.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "binding/AVPtr.h"

namespace kelvane {

struct TQueuedPacket {
  enum TKind { pkData, pkFlush, pkEmpty };
  TKind Kind = pkData;
  AVPacketPtr Packet;  // pkData only
  // pkFlush: the seek's serial and the time (stream-independent, microseconds)
  // before which decoded pictures and sound are dropped (AV_NOPTS_VALUE: none).
  // Seek: false for a marker that only starts a new serial (a failed seek).
  int32_t Serial = 0;
  int64_t Target = AV_NOPTS_VALUE;
  int32_t Attempt = 0;  // how often the seek went earlier after landing late
  bool Seek = true;
};

class TPacketQueue {
 public:
  // Takes the packet over (it is reference-counted by the demuxer).
  void Put(AVPacketPtr packet);
  void PutFlush(int32_t serial, int64_t target, int32_t attempt, bool seek);
  void PutEmpty();
  // 1: `out` holds the next packet; 0: none (only when not blocking); -1: aborted.
  int Get(TQueuedPacket& out, bool block);
  void Flush();
  void Abort();

  // Bytes queued: packet sizes plus 72 per entry.
  int64_t Size() const;
  int32_t Count() const;

 private:
  void Append(TQueuedPacket entry, int64_t bytes);

  mutable std::mutex mutex_;
  std::condition_variable cond_;
  // Guarded by mutex_.
  std::deque<TQueuedPacket> entries_;
  int64_t size_ = 0;
  bool abort_ = false;
};

}  // namespace kelvane
