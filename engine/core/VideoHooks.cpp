// The input side of the video path: the application's hooks, the hook time
// ranges, deinterlacing and the frame-hook plug-in chain.
#include "engine/core/VideoPath.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

namespace {

// What the hook time ranges say for a picture at `pts`, searched from the
// range at `index` on: continue inside one (`index` moves to it), stop past
// the last one, ignore between them.
THookAction RangeHookAction(const std::vector<TVideoHookRange>& ranges, int& index, int64_t pts) {
  const int last = int(ranges.size()) - 1;
  for (int i = std::max(index, 0); i <= last; ++i) {
    if (ranges[size_t(i)].Start <= pts && pts <= ranges[size_t(i)].End) {
      index = i;
      return haContinue;
    }
    if (i == last && ranges[size_t(i)].End < pts) return haStop;
  }
  return haIgnore;
}

// Gives the hooks' work picture the decoded picture's format and size and a
// writable buffer. False when it cannot.
bool PrepareWorkPicture(AVFrame* work, const AVFrame* picture) {
  if (work == nullptr) return false;
  if (work->format != picture->format || work->width != picture->width ||
      work->height != picture->height || work->buf[0] == nullptr) {
    avutil.av_frame_unref(work);
    work->format = picture->format;
    work->width = picture->width;
    work->height = picture->height;
    return avutil.av_frame_get_buffer(work, 0) >= 0;
  }
  return avutil.av_frame_make_writable(work) >= 0;
}

}  // namespace

void TVideoPath::RunFrameHooks(TInputStreamState& ist, AVFrame* picture) {
  const int64_t pts = ist.Pts;
  ++HookFrameNumber;
  bool& active = host_.FrameHooksActive();
  THookAction& action = host_.HookAction();
  if (!host_.HasCustomHook() && active) {
    if (host_.HasBeforeHook()) {
      try {
        host_.BeforeHook(pts, action);
      } catch (const std::exception& e) {
        LogAt(llError, std::string("Error occurs OnBeforeHook: ") + e.what());
        action = haStop;
      }
      if (action == haStop) active = false;
    } else if (!host_.HookRanges().empty()) {
      action = RangeHookAction(host_.HookRanges(), host_.HookRangeIndex(), pts);
      if (action == haStop) active = false;
    }
  }
  const bool custom = host_.HasCustomHook();
  const bool plugins = active && action == haContinue;
  if (!settings_.Deinterlace && !custom && !plugins) return;

  // The work picture: the decoder's format and size, reused from picture to picture.
  if (!hook_picture_) hook_picture_.reset(avutil.av_frame_alloc());
  AVFrame* work = hook_picture_.get();
  if (!PrepareWorkPicture(work, picture)) {
    LogAt(llError, "hook buf malloc error.");
    return;
  }
  bool filled = false;
  if (settings_.Deinterlace) {
    filled = DeinterlacePicture(work, picture);
    if (!filled) LogAt(llError, "Deinterlacing failed.");
  }
  if (!filled && avutil.av_frame_copy(work, picture) < 0) {
    LogAt(llError, "hook buf malloc error.");
    return;
  }

  if (custom) {
    CustomHook(work, pts);
  } else if (plugins) {
    host_.ProcessFrameHooks(work, pts);
  }

  // The decoded picture becomes the work picture (its properties kept).
  avutil.av_frame_copy_props(work, picture);
  avutil.av_frame_unref(picture);
  avutil.av_frame_ref(picture, work);
}

void TVideoPath::CustomHook(AVFrame* picture, int64_t pts) {
  if (!ConvertToBitmap(hook_converter_, picture)) {
    LogAt(llError, "Cannot initialize the toRGB conversion context");
    StopHook();
    return;
  }
  THookPicture hooked;
  hooked.Bitmap = hook_converter_.Bitmap.get();
  hooked.FrameNumber = HookFrameNumber;
  hooked.PTS = pts;
  {
    std::lock_guard<std::mutex> canvas(hooked.Bitmap->Lock);
    try {
      host_.CustomHook(hooked);
    } catch (const std::exception& e) {
      LogAt(llError, std::string("Error occurs OnCustomHook: ") + e.what());
      hooked.Update = false;
    } catch (...) {
      LogAt(llError, "Error occurs OnCustomHook: ");
      hooked.Update = false;
    }
  }
  if (hooked.Update && !ConvertFromBitmap(hook_converter_, *hooked.Bitmap, picture)) {
    LogAt(llError, "Cannot initialize the fromRGB conversion context");
    StopHook();
    return;
  }
  if (hooked.StopHook) StopHook();
}

void TVideoPath::StopHook() {
  host_.ClearCustomHook();
  host_.HookAction() = haStop;
  host_.FrameHooksActive() = false;
}

}  // namespace kelvane
