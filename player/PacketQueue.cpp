#include "player/PacketQueue.h"

namespace kelvane {
namespace {

constexpr int64_t kEntryOverhead = 72;

int64_t EntryBytes(const TQueuedPacket& entry) {
  return (entry.Packet ? entry.Packet->size : 0) + kEntryOverhead;
}

}  // namespace

void TPacketQueue::Append(TQueuedPacket entry, int64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    size_ += bytes;
  }
  cond_.notify_one();
}

void TPacketQueue::Put(AVPacketPtr packet) {
  TQueuedPacket entry;
  entry.Packet = std::move(packet);
  const int64_t bytes = EntryBytes(entry);
  Append(std::move(entry), bytes);
}

void TPacketQueue::PutFlush(int32_t serial, int64_t target, int32_t attempt, bool seek) {
  TQueuedPacket entry;
  entry.Kind = TQueuedPacket::pkFlush;
  entry.Serial = serial;
  entry.Target = target;
  entry.Attempt = attempt;
  entry.Seek = seek;
  Append(std::move(entry), kEntryOverhead);
}

void TPacketQueue::PutEmpty() {
  TQueuedPacket entry;
  entry.Kind = TQueuedPacket::pkEmpty;
  Append(std::move(entry), kEntryOverhead);
}

int TPacketQueue::Get(TQueuedPacket& out, bool block) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (abort_) return -1;
    if (!entries_.empty()) {
      out = std::move(entries_.front());
      entries_.pop_front();
      size_ -= EntryBytes(out);
      return 1;
    }
    if (!block) return 0;
    cond_.wait(lock);
  }
}

void TPacketQueue::Flush() {
  std::deque<TQueuedPacket> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(entries_);
  size_ = 0;
}

void TPacketQueue::Abort() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abort_ = true;
  }
  cond_.notify_all();
}

int64_t TPacketQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

int32_t TPacketQueue::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int32_t>(entries_.size());
}

}  // namespace kelvane
