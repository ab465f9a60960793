// The time line under the preview as a user meets it on a generated clip:
// key-frame ticks where the file's key frames are, the strip and the sound
// filling in, zooming and scrolling around the position, clicking and
// dragging to move the picture (snapping to key frames when asked), the marks
// as people read them, and the recent files with their marks.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QWheelEvent>

#include "gui/TimeEditDialog.h"
#include "gui/TimeLine.h"
#include "tests/gui/GuiTestSupport.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

void Trigger(QWidget* window, const char* action) {
  window->findChild<QAction*>(QString::fromUtf8(action))->trigger();
}

void Mouse(QWidget* widget, QEvent::Type type, int x, Qt::MouseButtons buttons) {
  const QPointF at(x, widget->height() / 2);
  QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
  QCoreApplication::sendEvent(widget, &event);
}

void Wheel(QWidget* widget, int x, int steps, Qt::KeyboardModifiers modifiers) {
  const QPointF at(x, widget->height() / 2);
  QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, 120 * steps), Qt::NoButton,
                    modifiers, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(widget, &event);
}

TEST_F(TWindowTest, TimeLineShowsTheFileAndMovesThePicture) {
  // 4 s at 25 fps with a key frame every 25 pictures: key frames at 0, 1, 2 and 3 s.
  window_->OpenFile(QString::fromStdString(MakeClip(4.0)));
  TPreviewControl& preview = window_->Preview();
  auto* line = Control<TTimeLine>("TimeLine");
  ASSERT_TRUE(WaitFor([&] { return preview.TimeLineFacts.Done; }, 10s));
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS >= 0; }, 5s));
  Click("ButtonPause");
  const TTimelineFacts& facts = preview.TimeLineFacts;
  EXPECT_EQ(facts.Error, "");
  EXPECT_EQ(facts.KeyFrames, (std::vector<int64_t>{0, 1000000, 2000000, 3000000}));
  std::vector<int> ticks;
  for (int64_t key : facts.KeyFrames) ticks.push_back(line->XOf(key));
  EXPECT_EQ(line->KeyFrameTickXs(), ticks);
  EXPECT_EQ(ticks.front(), 0);
  EXPECT_NEAR(ticks[2], line->width() / 2, 1);
  // Pictures for the strip (one per key frame here) and sound along the whole file.
  EXPECT_EQ(line->PictureCount(), 4);
  ASSERT_GT(facts.PeakSpan, 0);
  EXPECT_GE(int64_t(facts.Peaks.size()) * facts.PeakSpan, 3900000);
  EXPECT_GT(*std::max_element(facts.Peaks.begin(), facts.Peaks.end()), 0);

  // A click moves the picture there; a drag follows the hand and lands exactly on release.
  const int x_at_1s = line->XOf(1000000);
  Mouse(line, QEvent::MouseButtonPress, line->XOf(3000000), Qt::LeftButton);
  for (int x = line->XOf(3000000); x >= x_at_1s; x -= 7) {
    Mouse(line, QEvent::MouseMove, x, Qt::LeftButton);
    Spend(3ms);
    EXPECT_EQ(window_->Model().PlayPosition, line->TimeAt(x));  // the hand's place, not the key frame's
  }
  const int64_t release_at = line->TimeAt(x_at_1s + 20);
  Mouse(line, QEvent::MouseButtonRelease, x_at_1s + 20, Qt::NoButton);
  EXPECT_EQ(window_->Model().PlayPosition, release_at);
  ASSERT_TRUE(WaitFor([&] {
    const TShownFrame shown = window_->Player().ShownFrame();
    return shown.PTS <= release_at && release_at < shown.PTS + shown.Duration;
  }, 3s));
  // Snapping: the nearest key frame.
  Trigger(window_.get(), "ActionSnapToKeyFrames");
  EXPECT_TRUE(preview.SnapToKeyFrames);
  Mouse(line, QEvent::MouseButtonPress, line->XOf(2300000), Qt::LeftButton);
  Mouse(line, QEvent::MouseButtonRelease, line->XOf(2300000), Qt::NoButton);
  EXPECT_EQ(window_->Model().PlayPosition, 2000000);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == 2000000; }, 3s));

  // Zooming keeps the position where it is on the line; the wheel scrolls;
  // Ctrl+wheel zooms; 0 shows the whole file again.
  const TTimeLineView& view = preview.TimeLineView;
  const int x_before = line->XOf(2000000);
  Trigger(window_.get(), "ActionZoomIn");
  Trigger(window_.get(), "ActionZoomIn");
  EXPECT_EQ(view.Length(), 1000000);
  EXPECT_NEAR(line->XOf(2000000), x_before, 1);
  EXPECT_EQ(line->KeyFrameTickXs().size(), 1u);  // the 2 s key frame alone is in view
  const int64_t start = view.Start();
  Wheel(line, 10, -1, Qt::NoModifier);
  EXPECT_EQ(view.Start(), start + 100000);
  Wheel(line, 10, 1, Qt::ControlModifier);
  EXPECT_LT(view.Length(), 1000000);
  EXPECT_GE(2000000, view.Start());
  EXPECT_LE(2000000, view.End());
  // Playing past the right edge pages the view along.
  Trigger(window_.get(), "ActionSnapToKeyFrames");
  preview.SeekTo(view.End() + 200000);
  preview.TimerPlayTimer();
  EXPECT_GE(window_->Model().PlayPosition, view.Start());
  EXPECT_LE(window_->Model().PlayPosition, view.End());
  Trigger(window_.get(), "ActionWholeFile");
  EXPECT_EQ(view.Length(), view.Duration());

  // The marks as people read them beside their seconds.
  ASSERT_TRUE(WaitFor([&] { return window_->Player().SeekSettled(); }, 3s));
  preview.SeekTo(1000000);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == 1000000; }, 3s));
  Click("ButtonMarkStart");
  EXPECT_EQ(Control<QLabel>("StartTimeReadable")->text(),
            QString::fromUtf8("0:00:01.000 \u00b7 frame 25"));
  EXPECT_EQ(Control<QLabel>("EndTimeReadable")->text(), "");
  // The time-edit dialog reads a typed time back with its picture's number.
  Control("Panel2")->findChild<QMenu*>("PopupMenuPanel2")->actions().first()->trigger();
  window_->TimeEdit().findChild<QLineEdit*>("Edit1")->setText("0:02.48");
  EXPECT_EQ(window_->TimeEdit().findChild<QLabel*>("Label3")->text(),
            QString::fromUtf8("0:00:02.480 \u00b7 frame 62"));
  window_->TimeEdit().SpeedDoneClick();
  EXPECT_EQ(Control<QLabel>("EndTimeReadable")->text(),
            QString::fromUtf8("0:00:02.480 \u00b7 frame 62"));

  // Looping the marked part: past the end mark it starts again at the start mark.
  Trigger(window_.get(), "ActionLoopSegment");
  Trigger(window_.get(), "ActionPlaySegment");
  // It plays through the middle of the part, reaches its end, and is back at the start.
  int stage = 0;
  ASSERT_TRUE(WaitFor([&] {
    const int64_t at = window_->Model().PlayPosition;
    if (stage == 0 && at > 1800000 && at < 2200000) stage = 1;
    if (stage == 1 && at >= 2400000) stage = 2;
    return stage == 2 && at < 1500000;
  }, 5s));
  EXPECT_FALSE(window_->Player().Paused());
}

TEST_F(TWindowTest, RecentFilesBringTheirMarksBack) {
  const std::string first = MakeClip(2.0, "first.mp4");
  const std::string second = MakeClip(2.0, "second.mp4");
  window_->Model().PlayImmediately = false;
  window_->OpenFile(QString::fromStdString(first));
  // Not playing: the time line has the file's length from its scan, and a
  // click on it opens the file paused at that place.
  auto* line = Control<TTimeLine>("TimeLine");
  ASSERT_TRUE(WaitFor([&] { return window_->Preview().TimeLineView.Duration() > 0; }, 5s));
  EXPECT_FALSE(window_->Player().Active());
  Mouse(line, QEvent::MouseButtonPress, line->XOf(1000000), Qt::LeftButton);
  Mouse(line, QEvent::MouseButtonRelease, line->XOf(1000000), Qt::NoButton);
  EXPECT_TRUE(window_->Player().Paused());
  EXPECT_NEAR(static_cast<double>(window_->Player().ShownFrame().PTS), 1000000.0, 40000.0);
  window_->Model().StartMarkText = "0.40";
  window_->Model().EndMarkText = "1.20";
  window_->OpenFile(QString::fromStdString(second));
  window_->Model().StartMarkText = "0.00";
  window_->Model().EndMarkText = "0.80";
  auto* recent = window_->findChild<QMenu*>(QStringLiteral("RecentFiles1"));
  ASSERT_EQ(recent->actions().size(), 2);
  EXPECT_EQ(recent->actions()[1]->text(), "&2 first.mp4  (0.40 - 1.20)");
  // Closing stores them; the next run lists both, newest first, and opening
  // one brings its marks back.
  window_->close();
  OpenWindow();
  recent = window_->findChild<QMenu*>(QStringLiteral("RecentFiles1"));
  ASSERT_EQ(recent->actions().size(), 2);
  EXPECT_EQ(recent->actions()[0]->text(), "&1 second.mp4  (0.00 - 0.80)");
  recent->actions()[1]->trigger();
  EXPECT_EQ(window_->Model().EditInputFilename, first);
  EXPECT_EQ(window_->Model().StartMarkText, "0.40");
  EXPECT_EQ(window_->Model().EndMarkText, "1.20");
  EXPECT_EQ(recent->actions()[0]->text(), "&1 first.mp4  (0.40 - 1.20)");
  // A file that is gone is said so.
  std::filesystem::remove(second);
  recent->actions()[1]->trigger();
  ASSERT_EQ(sink_.Texts().size(), 1u);
  EXPECT_EQ(sink_.Texts()[0], second + ": the file is no longer there.");
  EXPECT_EQ(window_->Model().EditInputFilename, first);

  // The window comes back where it was, at its size.
  window_->resize(1000, 700);
  window_->move(40, 30);
  QCoreApplication::processEvents();
  const QRect place = window_->geometry();
  window_->close();
  OpenWindow();
  QCoreApplication::processEvents();
  EXPECT_EQ(window_->size(), place.size());
}

}  // namespace
}  // namespace kelvane::test
