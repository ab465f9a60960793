#include <gtest/gtest.h>

#include "binding/FFmpegLoader.h"

namespace kelvane {
namespace {

TEST(LoaderSmoke, EngineLibrariesLoadBySystemSearch) {
  TFFmpegLoader& loader = GetLoader();
  loader.SetLibraryPath("");
  ASSERT_TRUE(loader.LoadLibraries(EngineLibraries)) << loader.LastError();
  EXPECT_NE(avformat.av_read_frame, nullptr);
  EXPECT_STREQ(avutil.av_get_pix_fmt_name(AV_PIX_FMT_YUV420P), "yuv420p");
}

}  // namespace
}  // namespace kelvane
