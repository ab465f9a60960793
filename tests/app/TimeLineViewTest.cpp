// The time line's view of a file (zoom, scroll, paging along, pixels and
// times), the nearest key frame, and the recent files' stored form.
#include <gtest/gtest.h>

#include "app/RecentFiles.h"
#include "app/TimeLine.h"
#include "tests/app/MemoryStore.h"

namespace kelvane {
namespace {

TEST(TTimeLineViewTest, ZoomScrollAndPagingStayInsideTheFile) {
  TTimeLineView view;
  view.SetDuration(60000000);  // one minute
  EXPECT_FALSE(view.Zoomed());
  EXPECT_DOUBLE_EQ(view.XOf(30000000, 600), 300.0);
  EXPECT_EQ(view.TimeAt(150, 600), 15000000);
  EXPECT_EQ(view.TimeAt(-20, 600), 0);  // off the line: its ends
  EXPECT_EQ(view.TimeAt(700, 600), 60000000);
  // Zooming keeps the anchor where it is on the line.
  view.Zoom(4, 45000000);
  EXPECT_EQ(view.Length(), 15000000);
  EXPECT_DOUBLE_EQ(view.XOf(45000000, 600), 450.0);
  // ... but not past the end of the file; and never closer than half a second.
  view.Zoom(1.5, 59000000);
  EXPECT_EQ(view.End(), 60000000);
  view.Zoom(1000, 59000000);
  EXPECT_EQ(view.Length(), TTimeLineView::kMinLength);
  view.Zoom(0.0001, 10);
  EXPECT_EQ(view.Length(), 60000000);
  EXPECT_EQ(view.Start(), 0);
  // Scrolling stops at the ends.
  view.Zoom(6, 0);
  view.Scroll(-5000000);
  EXPECT_EQ(view.Start(), 0);
  view.Scroll(100000000);
  EXPECT_EQ(view.End(), 60000000);
  // A position that ran off the right edge comes back at the left; one before
  // the view, in its middle.
  view.Scroll(-100000000);
  view.KeepInView(12000000);
  EXPECT_EQ(view.Start(), 12000000);
  view.KeepInView(3000000);
  EXPECT_EQ(view.Start(), 0);
  view.SetDuration(0);
  EXPECT_EQ(view.TimeAt(10, 600), 0);
}

TEST(TTimeLineViewTest, NearestKeyFrame) {
  const std::vector<int64_t> keys{0, 2000000, 4000000};
  EXPECT_EQ(NearestKeyFrame(keys, 900000), 0);
  EXPECT_EQ(NearestKeyFrame(keys, 1000000), 0);  // halfway: the one before
  EXPECT_EQ(NearestKeyFrame(keys, 1100000), 2000000);
  EXPECT_EQ(NearestKeyFrame(keys, 9000000), 4000000);
  EXPECT_EQ(NearestKeyFrame({}, 1234), 1234);
}

TEST(TRecentFilesTest, NewestFirstAtMostEightAndStoredAsOneValue) {
  TRecentFiles recent;
  for (int i = 0; i < 10; ++i) recent.Add({"/v/" + std::to_string(i) + ".mp4"});
  recent.Add({"/v/5.mp4", "1.50", 1500000, "3.00", -1});
  ASSERT_EQ(recent.Items().size(), TRecentFiles::kMax);
  EXPECT_EQ(recent.Items()[0].Path, "/v/5.mp4");
  EXPECT_EQ(recent.Items()[1].Path, "/v/9.mp4");
  recent.Add({"/v/tab\there.mp4"});  // cannot be stored: left out
  EXPECT_EQ(recent.Find("/v/tab\there.mp4"), nullptr);
  test::TMemoryStore store;
  ASSERT_TRUE(recent.Save(store));
  TRecentFiles again;
  again.Load(store);
  ASSERT_EQ(again.Items().size(), TRecentFiles::kMax);
  const TRecentFile* five = again.Find("/v/5.mp4");
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->Start, "1.50");
  EXPECT_EQ(five->ExactStart, 1500000);
  EXPECT_EQ(five->End, "3.00");
  EXPECT_EQ(five->ExactEnd, -1);
  // Lines that do not read are skipped.
  again.Decode("broken line\n/a.mp4\t0.00\tx\t1.00\t-1\n\t0.00\t-1\t0.00\t-1\n");
  ASSERT_EQ(again.Items().size(), 1u);
  EXPECT_EQ(again.Items()[0].ExactStart, -1);
}

}  // namespace
}  // namespace kelvane
