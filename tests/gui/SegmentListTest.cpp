// The segment list as a user meets it in the window: segments added from
// marks set in the preview (with their pictures and readable times),
// refused when they overlap or lack an end, selected (their marks and
// pictures come back), edited, renamed, moved and removed, drawn on the time
// line (a band clicked selects its segment), and split one file per segment
// and joined; each file's list kept in the stored settings and brought back
// with the file (the rows' pictures read for them), CSV files, inverting.
#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "gui/SegmentPanel.h"
#include "gui/TimeLine.h"
#include "tests/common/MediaAssertions.h"
#include "tests/gui/GuiTestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

int FrameIndexOf(const TBitmap& bitmap) {
  return fixtures::ReadFrameIndexBgr24(bitmap.Pixels.data(), bitmap.Width, bitmap.Height,
                                       bitmap.Stride);
}

class TSegmentListTest : public TWindowTest {
 protected:
  // A small 4 s clip at 25 fps (picture n begins at n * 40 ms).
  std::string SmallClip(const std::string& name) {
    fixtures::TFixtureRecipe recipe;
    recipe.Seconds = 4.0;
    const std::string path = temp_.File(name);
    EXPECT_TRUE(fixtures::GenerateFixture(recipe, path));
    return path;
  }
  // The marks from the preview: the segment of pictures `first` to `last`.
  void MarkPictures(int first, int last) {
    for (int which : {0, 1}) {
      const int64_t at = (which == 0 ? first : last) * int64_t{40000};
      window_->Preview().SeekTo(at);
      ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == at; }, 3s)) << at;
      Click(which == 0 ? "ButtonMarkStart" : "ButtonMarkEnd");
    }
  }
  std::string Row(int row) { return Control<QListWidget>("SegmentList")->item(row)->text().toStdString(); }
  int Rows() { return Control<QListWidget>("SegmentList")->count(); }
};

TEST_F(TSegmentListTest, AddSelectEditReorderRemoveAndSplitBothWays) {
  TMainWindowModel& model = window_->Model();
  TSegmentControl& segments = window_->Segments();
  const std::string clip = SmallClip("match.mp4");
  window_->OpenFile(QString::fromStdString(clip));
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS >= 0; }, 5s));
  Click("ButtonPause");

  // Insert adds the marked part, shows the list's page, and keeps its pictures.
  MarkPictures(10, 29);
  window_->findChild<QAction*>(QStringLiteral("ActionAddSegment"))->trigger();
  EXPECT_EQ(Control<QTabWidget>("PageControl1")->currentWidget()->objectName(), "SegmentPage");
  ASSERT_EQ(Rows(), 1);
  EXPECT_EQ(Row(0), "1  (0:00:00.800)\n0:00:00.400 - 0:00:01.200");
  const auto [first, last] = window_->SegmentPanel().Pictures(0);
  EXPECT_FALSE(first.isNull());
  EXPECT_FALSE(last.isNull());
  MarkPictures(50, 74);
  Click("ButtonAddSegment");
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(segments.Selected(), 1);
  // Refused: a part overlapping the first, and marks without an end.
  MarkPictures(20, 40);
  Click("ButtonAddSegment");
  Click("ButtonClearMarks");
  Click("ButtonAddSegment");
  EXPECT_EQ(sink_.Texts(),
            (std::vector<std::string>{
                "Segment 3 (0:00:00.800 to 0:00:01.640) overlaps segment 1 (0:00:00.400 to "
                "0:00:01.200).",
                "There is no end mark: mark the segment's start and end first."}));
  EXPECT_EQ(Rows(), 2);

  // Selecting the first brings back its exact marks and its last and first
  // pictures; the preview waits at its first.
  Control<QListWidget>("SegmentList")->setCurrentRow(0);
  EXPECT_EQ(model.StartMarkText, "0.40");
  EXPECT_EQ(model.ExactStart.Time, 400000);
  EXPECT_EQ(model.ExactEnd.Time, 1200000);
  EXPECT_EQ(FrameIndexOf(window_->Preview().StartThumbnail.Frame), 10);
  EXPECT_EQ(FrameIndexOf(window_->Preview().EndThumbnail.Frame), 29);
  EXPECT_EQ(window_->Player().ShownFrame().PTS, 400000);
  EXPECT_FALSE(Control("ButtonUpdateSegment")->isEnabled());
  // Edited marks are written back by Update Segment.
  window_->Preview().SeekTo(1560000);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == 1560000; }, 3s));
  Click("ButtonMarkEnd");
  ASSERT_TRUE(Control("ButtonUpdateSegment")->isEnabled());
  Click("ButtonUpdateSegment");
  EXPECT_EQ(Row(0), "1  (0:00:01.200)\n0:00:00.400 - 0:00:01.600");
  EXPECT_FALSE(Control("ButtonUpdateSegment")->isEnabled());

  // The time line draws each segment as a band, the selected one brighter.
  auto* line = Control<TTimeLine>("TimeLine");
  const QImage drawn = line->grab().toImage();
  const int bottom = drawn.height() - 2;
  const QColor selected = drawn.pixelColor(line->XOf(1000000), bottom);
  const QColor other = drawn.pixelColor(line->XOf(2500000), bottom);
  const QColor none = drawn.pixelColor(line->XOf(3500000), bottom);
  EXPECT_GT(selected.red(), 200) << selected.name().toStdString();
  EXPECT_GT(other.blue(), 200) << other.name().toStdString();
  EXPECT_LT(other.red(), 100) << other.name().toStdString();
  EXPECT_NE(none, other);
  // Clicking the second's band selects it, as its row does: marks and preview follow.
  const QPointF on_band(line->XOf(2500000), line->height() - 2);
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent click(type, on_band, line->mapToGlobal(on_band), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(line, &click);
  }
  EXPECT_EQ(segments.Selected(), 1);
  EXPECT_EQ(Control<QListWidget>("SegmentList")->currentRow(), 1);
  EXPECT_EQ(model.ExactStart.Time, 2000000);
  EXPECT_EQ(FrameIndexOf(window_->Preview().StartThumbnail.Frame), 50);
  EXPECT_EQ(window_->Player().ShownFrame().PTS, 2000000);

  // A third, renamed, moved up; the second removed.
  MarkPictures(80, 89);
  Click("ButtonAddSegment");
  Click("ButtonRenameSegment");
  auto* rename = window_->findChild<QInputDialog*>(QStringLiteral("RenameSegment"));
  ASSERT_NE(rename, nullptr);
  rename->setTextValue(QStringLiteral("Goal"));
  rename->accept();
  Click("ButtonSegmentUp");
  EXPECT_EQ(segments.Selected(), 1);
  EXPECT_EQ(Row(1), "2  Goal  (0:00:00.400)\n0:00:03.200 - 0:00:03.600");
  Control<QListWidget>("SegmentList")->setCurrentRow(2);
  Click("ButtonRemoveSegment");
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(segments.Selected(), -1);
  EXPECT_EQ(Row(0).substr(0, 3), "1  ");

  // Start splits the list, one file per segment, the bar saying which runs.
  model.ComboOutputFormat.Select(model.ComboOutputFormat.IndexOf("MP4 - MPEG4 Video (*.mp4)"));
  model.ComboOutputFormatChange();
  model.EditOutputFolder = temp_.File("out");
  std::filesystem::create_directory(model.EditOutputFolder);
  sink_.shown.clear();
  Click("ButtonStart");
  ASSERT_TRUE(model.Splitting) << (sink_.Texts().empty() ? "" : sink_.Texts()[0]);
  EXPECT_FALSE(Control("ButtonAddSegment")->isEnabled());
  std::set<QString> captions;
  ASSERT_TRUE(WaitFor([&] {
    auto* bar = Control<QProgressBar>("ProgressBar1");
    if (bar->isTextVisible()) captions.insert(bar->format());
    return !model.Splitting;
  }, 60s));
  ASSERT_TRUE(WaitFor([&] { return !sink_.Texts().empty(); }, 2s));
  EXPECT_FALSE(Control<QProgressBar>("ProgressBar1")->isTextVisible());
  EXPECT_TRUE(captions.count("Segment 2 of 2")) << captions.size();
  const std::optional<TSplitEnd>& end = model.Session().LastEnd();
  ASSERT_TRUE(end && end->Files.size() == 2);
  const std::string one = end->Files[0].OutputPath;
  const std::string goal = end->Files[1].OutputPath;
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{"Splitting job completed!\n\rThe new files are:\n\r" +
                                                    one + "\n\r" + goal});
  EXPECT_NE(goal.find("Goal"), std::string::npos) << goal;
  EXPECT_TRUE(FrameIndicesRun(one, 10, 30));
  EXPECT_TRUE(FrameIndicesRun(goal, 80, 10));
  EXPECT_TRUE(Control("ButtonAddSegment")->isEnabled());

  // And joined: one file of both, in list order.
  Control<QRadioButton>("RadioOneJoinedFile")->click();
  sink_.shown.clear();
  Click("ButtonStart");
  ASSERT_TRUE(model.Splitting) << (sink_.Texts().empty() ? "" : sink_.Texts()[0]);
  ASSERT_TRUE(WaitFor([&] { return !model.Splitting; }, 60s));
  ASSERT_TRUE(WaitFor([&] { return !sink_.Texts().empty(); }, 2s));
  ASSERT_EQ(model.Session().LastEnd()->Files.size(), 1u);
  const std::string joined = model.Session().LastEnd()->Files[0].OutputPath;
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{"Splitting job completed!\n\rThe new file is:\n\r" + joined});
  std::vector<int> expected;
  for (int i = 10; i < 40; ++i) expected.push_back(i);
  for (int i = 80; i < 90; ++i) expected.push_back(i);
  const std::vector<int> indices = DecodedIndices(joined);
  EXPECT_EQ(indices, expected) << DescribeIndices(indices);
}

TEST_F(TSegmentListTest, EachFileKeepsItsListAndListsGoToAndFromFiles) {
  TMainWindowModel& model = window_->Model();
  model.PlayImmediately = false;
  const std::string a = SmallClip("a.mp4");
  const std::string b = SmallClip("b.mp4");
  auto add = [&](const char* start, const char* end) {
    model.StartMarkText = start;
    model.EndMarkText = end;
    return window_->Segments().AddSegment();
  };
  window_->OpenFile(QString::fromStdString(a));
  ASSERT_TRUE(add("0.50", "1.00"));
  ASSERT_TRUE(add("2.00", "3.00"));
  window_->Segments().RenameSegment("Second, \"best\"");
  Control<QRadioButton>("RadioOneJoinedFile")->click();
  EXPECT_TRUE(model.JoinSegments);
  // Another file has its own list (none yet); opening the first again brings its back.
  window_->OpenFile(QString::fromStdString(b));
  EXPECT_EQ(Rows(), 0);
  ASSERT_TRUE(add("1.00", "1.50"));
  window_->OpenFile(QString::fromStdString(a));
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(Row(1), "2  Second, \"best\"  (0:00:01.000)\n0:00:02.000 - 0:00:03.000");

  // So does the next run, with the output choice; a damaged stored line
  // loses only itself.
  window_->close();
  QSettings stored(QStringLiteral("Orvath"), QStringLiteral("Kelvane"));
  const QString kept = stored.value("RecentSegments").toString();
  EXPECT_TRUE(kept.contains(QString::fromStdString(b) + "\t1.00,1.50\n")) << kept.toStdString();
  stored.setValue("RecentSegments", kept + "no tab here\n" + QString::fromStdString(a) +
                                        "\tsoon,later\n\t1,2\n");
  stored.sync();
  OpenWindow();
  EXPECT_TRUE(Control<QRadioButton>("RadioOneJoinedFile")->isChecked());
  window_->OpenFile(QString::fromStdString(a));
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(window_->Segments().List().Items()[1].Label, "Second, \"best\"");
  // Rows that came back with the file show their pictures without being selected.
  auto all_pictured = [&] {
    for (int i = 0; i < Rows(); ++i) {
      const auto [first, last] = window_->SegmentPanel().Pictures(static_cast<size_t>(i));
      if (first.isNull() || last.isNull()) return false;
    }
    return true;
  };
  EXPECT_TRUE(WaitFor(all_pictured, 10s));
  EXPECT_NE(window_->SegmentPanel().Pictures(0).first, window_->SegmentPanel().Pictures(0).second);
  EXPECT_EQ(window_->Segments().Selected(), -1);

  // CSV out and back; a bad line is named; Invert keeps the parts between.
  const std::string csv = temp_.File("a.csv");
  ASSERT_TRUE(window_->Segments().SaveSegments(csv));
  std::stringstream written;
  written << std::ifstream(csv).rdbuf();
  EXPECT_EQ(written.str(), "0.50,1.00\n2.00,3.00,\"Second, \"\"best\"\"\"\n");
  ASSERT_TRUE(window_->Segments().InvertSegments());
  EXPECT_EQ(window_->Segments().List().ToCsv(), "0.00,0.50\n1.00,2.00\n3.00,4.00\n");
  EXPECT_TRUE(WaitFor(all_pictured, 10s));
  ASSERT_TRUE(window_->Segments().LoadSegments(csv));
  EXPECT_EQ(Rows(), 2);
  const std::string bad = temp_.File("bad.csv");
  std::ofstream(bad) << "start,end,label\n0:01,0:02,Intro\n3,1:75\n";
  sink_.shown.clear();
  EXPECT_FALSE(window_->Segments().LoadSegments(bad));
  ASSERT_EQ(sink_.Texts().size(), 1u);
  EXPECT_NE(sink_.Texts()[0].find("Line 3: the end \"1:75\" is not a time"), std::string::npos)
      << sink_.Texts()[0];
  EXPECT_EQ(Rows(), 2);
}

}  // namespace
}  // namespace kelvane::test
