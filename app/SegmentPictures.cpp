#include "app/SegmentPictures.h"

#include <algorithm>
#include <utility>

#include "binding/MainThread.h"
#include "probe/PictureReader.h"

namespace kelvane {
namespace {

void Read(const std::string& file, const std::vector<TSegmentPictures::TPart>& parts,
          const TSegmentPictures::TDone& done, const std::atomic<bool>& cancel) {
  TPictureReader reader;
  if (!reader.Open(file)) return;
  for (const TSegmentPictures::TPart& part : parts) {
    if (cancel.load()) return;
    auto first = reader.PictureAt(part.first, cancel);
    auto last = reader.PictureAt(std::max(part.second - 1, part.first), cancel);
    if (cancel.load()) return;
    if (!first || !last) continue;
    PostToMainThread([done, part, first, last] { done(part, first, last); });
  }
}

}  // namespace

TSegmentPictures::~TSegmentPictures() { Cancel(); }

void TSegmentPictures::Cancel() {
  if (cancel_) cancel_->store(true);
  if (thread_.joinable()) thread_.join();
  cancel_.reset();
}

void TSegmentPictures::Start(const std::string& file, std::vector<TPart> parts, TDone done) {
  Cancel();
  if (parts.empty()) return;
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  // `done` is dropped once cancelled, even when posted before.
  TDone guarded = [cancel = cancel_, done = std::move(done)](TPart part,
                                                            std::shared_ptr<const TBitmap> first,
                                                            std::shared_ptr<const TBitmap> last) {
    if (!cancel->load()) done(part, std::move(first), std::move(last));
  };
  thread_ = std::thread([file, parts = std::move(parts), guarded, cancel = cancel_] {
    Read(file, parts, guarded, *cancel);
  });
}

}  // namespace kelvane
