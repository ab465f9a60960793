// The window as a user meets it: its controls, stored settings, the small
// dialogs, previewing and marking a generated clip, and whole splits started,
// watched and stopped from the window. Message boxes are read and answered
// through the recording message sink.
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <filesystem>
#include <fstream>
#include <future>

#include "gui/PlayPanel.h"
#include "gui/QtPreviewer.h"
#include "gui/ThumbnailView.h"
#include "gui/TimeEditDialog.h"
#include "gui/TimePanel.h"
#include "gui/TrackBar.h"
#include "tests/common/MediaAssertions.h"
#include "tests/gui/GuiTestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/FrameIndexPattern.h"
#include "tools/fixtures/MediaFacts.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

// True when some pixel of `image` is not black.
bool HasPicture(const QImage& image) {
  for (int y = 0; y < image.height(); y += 3) {
    for (int x = 0; x < image.width(); x += 3) {
      if (qGray(image.pixel(x, y)) > 40) return true;
    }
  }
  return false;
}

int FrameIndexOf(const TBitmap& bitmap) {
  return fixtures::ReadFrameIndexBgr24(bitmap.Pixels.data(), bitmap.Width, bitmap.Height,
                                       bitmap.Stride);
}

void Trigger(QWidget* window, const char* action) {
  window->findChild<QAction*>(QString::fromUtf8(action))->trigger();
}

const QString kTimeForms = QStringLiteral(
    "Type seconds (83.46), minutes and seconds (1:23.46) or hours, minutes and seconds "
    "(0:01:23.46).");

// The first `bytes` of `path` as a file of its own.
std::string CutOff(const std::string& path, size_t bytes, const std::string& to) {
  std::ifstream in(path, std::ios::binary);
  std::string data(bytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(bytes));
  std::ofstream(to, std::ios::binary).write(data.data(), in.gcount());
  return to;
}

TEST_F(TWindowTest, FirstRunControlsAndStoredSettings) {
  // The window: opens at 857 x 541 below the menu bar, every control by name.
  EXPECT_EQ(window_->centralWidget()->width(), 857);
  EXPECT_EQ(window_->centralWidget()->height() + window_->statusBar()->height(), 541);
  for (const char* name :
       {"PanelPlay", "TrackBar1", "Image1", "Image2", "Panel1", "Panel2", "Panel3",
        "ButtonClearMarks", "ButtonMarkStart", "ButtonMarkEnd", "ButtonPlay", "ButtonPause",
        "buttonStop", "ButtonStart", "ProgressBar1", "Panelprogress", "ButtonStopSplit",
        "SpeedButton7", "EditInputFilename", "ButtonOutputFolder", "EditOutputFolder",
        "ComboOutputFormat", "PageControl1", "ComboVideoQuality", "ComboAudioQuality",
        "ComboVideoSize1", "ComboLetterBox", "SpinVolume", "ComboVideoCodec", "ComboAudioCodec",
        "ComboVideoBitrate", "ComboVideoSize", "ComboVideoFramerate", "ComboaudioBitrate",
        "ComboSamplingRate", "ComboAudioChannels", "StatusBar1", "MainMenu1"}) {
    Control(name);
  }
  EXPECT_EQ(Control<QPushButton>("ButtonStart")->text(), "Start ");
  EXPECT_EQ(Control("Panel1")->toolTip(), "Right click to edit values");
  EXPECT_EQ(Control<QLabel>("StatusPanel0")->text(), "Ready");
  // Three hours of microseconds do not fit the bar's 32-bit range: it counts coarser.
  auto* bar = Control<TTrackBar>("TrackBar1");
  bar->SetMaximumUs(10800000000);
  bar->SetPositionUs(5400000000);
  EXPECT_EQ(bar->Unit(), 6);
  EXPECT_NEAR(static_cast<double>(bar->PositionUs()), 5400000000.0, 6.0);
  bar->SetMaximumUs(0);

  // First run: the defaults, and every value stored (nine, the eight detailed
  // settings and the volume).
  EXPECT_EQ(ComboText("ComboOutputFormat"), "H.264 MP4 - Plays Everywhere (*.mp4)");
  EXPECT_EQ(ComboText("ComboVideoQuality"), "Normal");
  EXPECT_EQ(ComboText("ComboAudioQuality"), "Normal");
  EXPECT_EQ(ComboText("ComboLetterBox"), "Add LetterBox");
  EXPECT_TRUE(Control<QCheckBox>("CheckBoxPlayImmediately")->isChecked());
  QSettings stored(QStringLiteral("Orvath"), QStringLiteral("Kelvane"));
  // Besides: the time line's two options, the window's size, the recent files
  // with their segment lists, and how a list is written.
  EXPECT_EQ(stored.allKeys().size(), 25) << stored.allKeys().join(",").toStdString();

  // A stored format of -1 selects the default format; an older version's
  // position names the entry of its own list.
  stored.setValue("ComboOutputFormat", -1);
  stored.sync();
  OpenWindow();
  EXPECT_EQ(ComboText("ComboOutputFormat"), "H.264 MP4 - Plays Everywhere (*.mp4)");
  stored.setValue("ComboOutputFormat", 10);
  stored.sync();
  OpenWindow();
  EXPECT_EQ(ComboText("ComboOutputFormat"), "MP4 - MPEG4 Video (*.mp4)");

  // "Exit" keeps a changed preference, as closing the window does.
  Control<QCheckBox>("CheckBoxOverwriteFile")->setChecked(true);
  window_->ExitClick();
  OpenWindow();
  EXPECT_TRUE(Control<QCheckBox>("CheckBoxOverwriteFile")->isChecked());
  Control<QCheckBox>("CheckBoxOverwriteFile")->setChecked(false);
  window_->close();
  OpenWindow();
  EXPECT_FALSE(Control<QCheckBox>("CheckBoxOverwriteFile")->isChecked());
}

TEST_F(TWindowTest, ALargerWindowGrowsThePreviewASmallerOneScrolls) {
  auto* preview = Control<TPlayPanel>("PanelPlay");
  auto* bar = Control<TTrackBar>("TrackBar1");
  auto* start = Control<QPushButton>("ButtonStart");
  auto* play = Control<QPushButton>("ButtonPlay");
  const QRect small_start = start->geometry();
  const QSize small_preview = preview->size();
  const int small_bar = bar->width();
  const int small_play_y = play->y();
  const QSize small_line = Control("TimeLine")->size();

  window_->resize(857 + 400, window_->height() + 300);
  QCoreApplication::processEvents();
  // A third of the extra height goes to the time line, the rest to the preview.
  auto* line = Control("TimeLine");
  EXPECT_EQ(preview->size(), small_preview + QSize(400, 200));
  EXPECT_EQ(line->size(), small_line + QSize(400, 100));
  EXPECT_EQ(line->y(), preview->parentWidget()->geometry().bottom() + 4);
  EXPECT_EQ(bar->width(), small_bar + 400);
  EXPECT_EQ(play->y(), small_play_y + 300);
  // The output side keeps its size and moves with the right edge.
  EXPECT_EQ(start->geometry(), small_start.translated(400, 0));

  // Smaller than it opens: every control keeps its size and can be scrolled to.
  window_->resize(600, 400);
  QCoreApplication::processEvents();
  EXPECT_EQ(preview->size(), small_preview);
  EXPECT_EQ(start->geometry(), small_start);
  auto* scroll = Control<QScrollArea>("ScrollClient");
  scroll->ensureWidgetVisible(start, 0, 0);
  QCoreApplication::processEvents();
  const QRect seen(start->mapTo(scroll->viewport(), QPoint(0, 0)), start->size());
  EXPECT_TRUE(scroll->viewport()->rect().contains(seen));

  // F11 or a double-click shows the preview alone on the screen; Esc and a
  // double-click come back to the window.
  Trigger(window_.get(), "ActionFullScreen");
  EXPECT_TRUE(preview->isWindow() && preview->isFullScreen());
  Trigger(window_.get(), "ActionLeaveFullScreen");
  EXPECT_FALSE(preview->isWindow());
  EXPECT_EQ(preview->size(), small_preview);
  auto double_click = [preview] {
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(10, 10), preview->mapToGlobal(QPointF(10, 10)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(preview, &click);
  };
  double_click();
  EXPECT_TRUE(preview->isFullScreen());
  double_click();
  EXPECT_FALSE(preview->isWindow());
  EXPECT_FALSE(window_->findChild<QAction*>(QStringLiteral("ActionLeaveFullScreen"))->isEnabled());
}

TEST_F(TWindowTest, TimeEditDialogKeysAndTexts) {
  Control("Panel1")->findChild<QMenu*>("PopupMenuPanel1")->actions().first()->trigger();
  TTimeEditDialog& dialog = window_->TimeEdit();
  ASSERT_TRUE(dialog.isVisible());
  auto* edit = dialog.findChild<QLineEdit*>("Edit1");
  auto* hint = dialog.findChild<QLabel*>("Label2");
  EXPECT_EQ(edit->text(), "0.00");
  EXPECT_EQ(hint->text(), kTimeForms);
  edit->clear();
  for (QChar key : QStringLiteral("1:2.5.a")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(key));
    QApplication::sendEvent(edit, &press);
  }
  EXPECT_EQ(edit->text(), "1:2.5");  // a second "." and letters are refused
  EXPECT_EQ(hint->text(), kTimeForms);
  dialog.SpeedDoneClick();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "62.50");

  Control("Panel2")->findChild<QMenu*>("PopupMenuPanel2")->actions().first()->trigger();
  edit->setText("99.00");
  dialog.SpeedCancelClick();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Control<TTimePanel>("Panel2")->Text(), "0.00");
}

// Under the format list, one line of what the file will be, following the
// format and the settings as they are chosen.
TEST_F(TWindowTest, TheLineUnderTheFormatListSaysWhatTheFileWillBe) {
  window_->OpenFile(QString::fromStdString(MakeClip(1.0)));
  auto* line = Control<QLabel>("LabelOutputExplanation");
  auto* formats = Control<QComboBox>("ComboOutputFormat");
  EXPECT_GT(line->geometry().top(), formats->geometry().bottom());
  EXPECT_EQ(line->text().toStdString(), "H.264 640x480 25 fps, quality 22, AAC 160 Kbps");
  auto choose = [](QComboBox* combo, const char* text) {
    const int index = combo->findText(QString::fromUtf8(text));
    ASSERT_GE(index, 0) << text;
    combo->setCurrentIndex(index);
    emit combo->activated(index);
  };
  choose(Control<QComboBox>("ComboVideoQuality"), "Highest");
  EXPECT_EQ(line->text().toStdString(), "H.264 640x480 25 fps, quality 18, AAC 160 Kbps");
  choose(formats, "AV1 MKV - Smallest Files (*.mkv)");
  EXPECT_EQ(line->text().toStdString(), "AV1 640x480 25 fps, quality 32, Opus 128 Kbps");
  choose(Control<QComboBox>("ComboVideoBitrate"), "2000 Kbps");
  EXPECT_EQ(line->text().toStdString(), "AV1 640x480 25 fps, 2000 Kbps, Opus 128 Kbps");
  choose(formats, "FLAC Audio - Lossless (*.flac)");
  EXPECT_EQ(line->text().toStdString(), "FLAC");
  // The source's own codecs: its settings cannot be changed; the whole clip
  // starts and ends on key frames.
  choose(formats, "Same as Source - Lossless (*.*)");
  EXPECT_EQ(line->text().toStdString(), "lossless copy");
  for (const char* name : {"ComboVideoCodec", "ComboVideoSize", "ComboAudioCodec",
                           "ComboSamplingRate", "ComboVideoQuality"}) {
    EXPECT_FALSE(Control<QComboBox>(name)->isEnabled()) << name;
  }
  EXPECT_EQ(Control<QComboBox>("ComboVideoCodec")->currentText().toStdString(), "Same as source");
  choose(formats, "FLAC Audio - Lossless (*.flac)");
  EXPECT_TRUE(Control<QComboBox>("ComboAudioCodec")->isEnabled());
}

TEST_F(TWindowTest, TypedMarksTakeTheCommandLinesFormsAndShowTheirPictures) {
  window_->OpenFile(QString::fromStdString(MakeClip(4.0)));
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS >= 0; }, 5s));
  TTimeEditDialog& dialog = window_->TimeEdit();
  auto* edit = dialog.findChild<QLineEdit*>("Edit1");
  auto* hint = dialog.findChild<QLabel*>("Label2");
  auto type = [&](int which, const char* text) {
    const QString panel = which == 1 ? "Panel1" : "Panel2";
    const QString menu = which == 1 ? "PopupMenuPanel1" : "PopupMenuPanel2";
    window_->findChild<QWidget*>(panel)->findChild<QMenu*>(menu)->actions().first()->trigger();
    edit->setText(QString::fromUtf8(text));
    dialog.SpeedDoneClick();
  };
  const TPreviewControl& preview = window_->Preview();
  // h:mm:ss: the mark, and the picture at that time in its thumbnail.
  type(1, "0:00:01.00");
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "1.00");
  EXPECT_EQ(FrameIndexOf(preview.StartThumbnail.Frame), 25);
  EXPECT_TRUE(HasPicture(Control<TThumbnailView>("Image1")->Shown()));
  // m:ss past the end of the file: the end, with a notice, and the last picture.
  type(2, "21:06.5");
  const QString end = Control<TTimePanel>("Panel2")->Text();
  EXPECT_TRUE(end.startsWith("4.0")) << end.toStdString();
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "The end 1266.50 lies past the end of the file; the end mark is "
                               "set to its end, " + end.toStdString() + "."});
  EXPECT_EQ(FrameIndexOf(preview.EndThumbnail.Frame), 99);
  // What Start would refuse stays in the dialog, which says why.
  type(1, "1795");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(hint->text(), "The start 1795.00 lies past the end of the file (" + end + " s).");
  edit->setText("21:06:5:1");
  dialog.SpeedDoneClick();
  EXPECT_EQ(hint->text(), "\"21:06:5:1\" is not a time. " + kTimeForms);
  dialog.SpeedCancelClick();
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "1.00");
}

TEST_F(TWindowTest, PreviewTransportMarksAndKeys) {
  const std::string clip = MakeClip(4.0);
  // Opening plays at once; the position and the picture move.
  window_->OpenFile(QString::fromStdString(clip));
  TPlayPanel& panel = window_->PanelPlay();
  ASSERT_TRUE(WaitFor([&] { return HasPicture(panel.Shown()); }, 5s));
  ASSERT_TRUE(WaitFor([&] { return Control<TTimePanel>("Panel3")->Text() != "0.00"; }, 5s));
  EXPECT_EQ(window_->Model().SourceSize.Text(), "640x480");

  // Pause, then one frame on and one back with the keys.
  Click("ButtonPause");
  Trigger(window_.get(), "ActionNextFrame");
  const int64_t at = window_->Model().PlayPosition;
  Trigger(window_.get(), "ActionNextFrame");
  EXPECT_EQ(window_->Model().PlayPosition - at, 40000);
  Trigger(window_.get(), "ActionPreviousFrame");
  EXPECT_EQ(window_->Model().PlayPosition, at);
  const std::string at_text = "frame " + std::to_string(at / 40000);
  // Beside the panels' seconds, the time as people read it, the frame and the length.
  const int frame = static_cast<int>(at / 40000);
  char readable[80];
  std::snprintf(readable, sizeof readable, "0:00:%02d.%03d \u00b7 frame %d / 0:00:04.000",
                frame / 25, frame % 25 * 40, frame);
  EXPECT_EQ(Control<QLabel>("StatusTime")->text(), QString::fromUtf8(readable));

  // Go to Time (Ctrl+G) takes the marks' forms and a picture's number.
  auto go_to = [this](const char* typed) {
    Trigger(window_.get(), "ActionGoToTime");
    auto* dialog = window_->findChild<QInputDialog*>(QStringLiteral("GoToTime"));
    EXPECT_NE(dialog, nullptr);
    if (!dialog) return;
    dialog->setTextValue(QString::fromUtf8(typed));
    dialog->accept();
    delete dialog;
  };
  go_to("0:00:02.2");
  EXPECT_EQ(window_->Model().PlayPosition, 2200000);
  go_to("frame 30");
  EXPECT_EQ(window_->Model().PlayPosition, 1200000);
  go_to("2.5.1");
  ASSERT_EQ(sink_.Texts().size(), 1u);
  EXPECT_NE(sink_.Texts()[0].find("\"2.5.1\" is not a time."), std::string::npos);
  EXPECT_EQ(window_->Model().PlayPosition, 1200000);
  go_to(at_text.c_str());
  EXPECT_EQ(window_->Model().PlayPosition, at);

  // Mark Start from the key, Mark End one second on: exact times, fitted thumbnails.
  Trigger(window_.get(), "ActionMarkStart");
  const TPreviewControl& preview = window_->Preview();
  EXPECT_EQ(window_->Model().ExactStart.Time, at);
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text().toStdString(), window_->Model().ExactStart.Text);
  EXPECT_EQ(FrameIndexOf(preview.StartThumbnail.Frame), static_cast<int>(at / 40000));
  Trigger(window_.get(), "ActionForwardSecond");
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == at + 1000000; }, 3s));
  Click("ButtonMarkEnd");
  EXPECT_EQ(window_->Model().ExactEnd.Time, at + 1000000 + 40000);  // where that picture ends
  const QImage thumb = Control<TThumbnailView>("Image2")->Shown();
  ASSERT_EQ(thumb.size(), QSize(116, 89));
  const QColor bar = thumb.pixelColor(58, 0);
  EXPECT_EQ(thumb.pixelColor(58, 88), bar);  // one row of bar above and below
  EXPECT_NE(thumb.pixelColor(58, 1), bar);
  EXPECT_NE(thumb.pixelColor(58, 87), bar);

  // "[" / "]" go to the marks; Shift+Space plays the marked part and pauses at its end.
  Trigger(window_.get(), "ActionGoToMarkStart");
  EXPECT_EQ(window_->Model().PlayPosition, at);
  Trigger(window_.get(), "ActionGoToMarkEnd");
  EXPECT_EQ(window_->Model().PlayPosition, at + 1040000);
  Trigger(window_.get(), "ActionPlaySegment");
  EXPECT_EQ(window_->Model().PlayPosition, at);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().Paused(); }, 5s));
  EXPECT_GE(window_->Model().PlayPosition, at + 1040000);
  EXPECT_LT(window_->Model().PlayPosition, at + 1400000);
  // J jumps back, L plays, L again doubles the speed (without sound) up to
  // 8x, K pauses and comes back to 1x.
  const int64_t before_j = window_->Model().PlayPosition;
  Trigger(window_.get(), "ActionShuttleBack");
  EXPECT_EQ(window_->Model().PlayPosition, before_j - 1000000);
  Trigger(window_.get(), "ActionShuttleForward");
  EXPECT_FALSE(window_->Player().Paused());
  Trigger(window_.get(), "ActionShuttleForward");
  EXPECT_EQ(window_->Model().StatusLine, "Playing at 2x, sound off");
  EXPECT_EQ(window_->Player().Speed(), 2);
  // The clip goes on at the new speed (a wall-clock limit here failed on a
  // loaded machine; speed is for benchmarks, not unit tests).
  const int64_t fast_from = window_->Model().PlayPosition;
  ASSERT_TRUE(WaitFor([&] { return window_->Model().PlayPosition >= fast_from + 1000000; }, 3s));
  for (int i = 0; i < 3; ++i) Trigger(window_.get(), "ActionShuttleForward");
  EXPECT_EQ(window_->Player().Speed(), 8);
  Trigger(window_.get(), "ActionShuttlePause");
  EXPECT_TRUE(window_->Player().Paused());
  EXPECT_EQ(window_->Player().Speed(), 1);

  // About > Keys lists them.
  sink_.shown.clear();
  Trigger(window_.get(), "HelpKeys1");
  ASSERT_EQ(sink_.Texts().size(), 1u);
  for (const char* key : {"J\t", "K\t", "L\t", "[\t", "]\t", "Shift+Space\t", "Ctrl+G\t", "F11\t"}) {
    EXPECT_NE(sink_.Texts()[0].find(key), std::string::npos) << key;
  }

  // Stop, then Pause before anything plays: Play only clears it, the next Play opens.
  Click("buttonStop");
  EXPECT_FALSE(window_->Player().Active());
  Click("ButtonPause");
  EXPECT_TRUE(window_->Model().PreviewPaused);
  Click("ButtonPlay");
  EXPECT_FALSE(window_->Model().PreviewPaused);
  EXPECT_FALSE(window_->Player().Active());
  Click("ButtonPlay");
  EXPECT_TRUE(window_->Player().Active());

  // Clear Marks: the panels and the black pictures come back.
  Click("ButtonClearMarks");
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "0.00");
  EXPECT_FALSE(HasPicture(Control<TThumbnailView>("Image1")->Shown()));
}

TEST_F(TWindowTest, AFileWithoutVideoKeepsItsPath) {
  fixtures::TFixtureRecipe recipe;
  ASSERT_TRUE(fixtures::FixturePreset("wav-pcm", recipe));
  const std::string path = temp_.File("tone.wav");
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, path));
  window_->OpenFile(QString::fromStdString(path));
  EXPECT_EQ(Control<QLineEdit>("EditInputFilename")->text().toStdString(), path);
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "This video file does NOT have any video frame!\n\rThis video "
                               "file cannot be splitted."});
  EXPECT_FALSE(window_->Player().Active());
}

TEST(QtPreviewerTest, ShowsPreviewsUntilClosed) {
  auto owner = std::make_unique<TQtPreviewer>();
  TQtPreviewer& previewer = *owner;
  TBitmap bitmap;
  bitmap.SetSize(160, 120);
  // The engine's worker shows a preview and waits while the main thread does.
  auto show = [&](int64_t time) {
    auto shown = std::async(std::launch::async, [&] { return previewer.ShowPreview(bitmap, 1, time); });
    EXPECT_TRUE(WaitFor([&] { return shown.wait_for(0s) == std::future_status::ready; }));
    return shown.get();
  };
  EXPECT_TRUE(show(3723004000));
  QWidget* window = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == "PreviewWindow") window = top;
  }
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "01:02:03.004");
  EXPECT_EQ(window->size(), QSize(160, 120));
  window->close();
  EXPECT_FALSE(show(4000000));
  EXPECT_FALSE(previewer.ShowPreview(bitmap, 2, 5000000));
  // The window goes on the main thread with its previewer.
  QPointer<QWidget> gone = window;
  owner.reset();
  EXPECT_TRUE(WaitFor([&] { return gone.isNull(); }));
}

class TWindowSplitTest : public TWindowTest {
 protected:
  // Opens `clip` paused and chooses MP4 into the scratch folder.
  void Prepare(const std::string& clip) {
    window_->Model().PlayImmediately = false;
    window_->OpenFile(QString::fromStdString(clip));
    TMainWindowModel& model = window_->Model();
    model.ComboOutputFormat.Select(model.ComboOutputFormat.IndexOf("MP4 - MPEG4 Video (*.mp4)"));
    model.ComboOutputFormatChange();
    model.EditOutputFolder = temp_.Path().string();
  }
  bool WaitForEnd(std::chrono::milliseconds limit) {
    return WaitFor([this] { return !window_->Model().Splitting; }, limit) &&
           WaitFor([this] { return !sink_.Texts().empty(); }, 2s);
  }
};

TEST_F(TWindowSplitTest, AWholeSplitFromMarksSetInThePreview) {
  const std::string clip = MakeClip(4.0);
  Prepare(clip);
  // Marks at frames 17 and 67 (0.68 s and 2.68 s), set from the player.
  Click("ButtonPlay");
  ASSERT_TRUE(WaitFor([&] { return window_->Player().Active(); }, 5s));
  Click("ButtonPause");
  window_->Preview().SeekTo(680000);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == 680000; }, 3s));
  Click("ButtonMarkStart");
  window_->Preview().SeekTo(2680000);
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS == 2680000; }, 3s));
  Click("ButtonMarkEnd");
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "0.68");
  const int start_frame = FrameIndexOf(window_->Preview().StartThumbnail.Frame);
  EXPECT_EQ(start_frame, 17);

  Click("ButtonStart");
  ASSERT_TRUE(window_->Model().Splitting) << (sink_.shown.empty() ? "" : sink_.shown[0].text);
  EXPECT_FALSE(Control("ButtonStart")->isEnabled());
  EXPECT_FALSE(Control("PageControl1")->isEnabled());
  EXPECT_TRUE(Control("ComboOutputFormat")->isEnabled());
  window_->Model().ButtonStartClick();       // a second Start does nothing
  Trigger(window_.get(), "ActionMarkStart");  // nor do the keys
  EXPECT_EQ(Control<TTimePanel>("Panel1")->Text(), "0.68");
  bool frames_shown = false;
  ASSERT_TRUE(WaitFor([&] {
    frames_shown = frames_shown ||
                   Control<QLabel>("StatusPanel1")->text().endsWith(QStringLiteral(" frames"));
    return !window_->Model().Splitting;
  }, 60s));
  ASSERT_TRUE(WaitFor([this] { return !sink_.Texts().empty(); }, 2s));
  Spend(300ms);
  const std::string output = window_->Model().LastOutputPath();
  EXPECT_EQ(sink_.Texts(),
            std::vector<std::string>{"Splitting job completed!\n\rThe new file is " + output});
  EXPECT_EQ(output.rfind(temp_.Path().string() + "/", 0), 0u) << output;
  EXPECT_TRUE(Control("ButtonStart")->isEnabled());
  EXPECT_EQ(Control<QLabel>("Panelprogress")->text(), "0%");
  EXPECT_TRUE(frames_shown || window_->Model().Session().LastEnd()->FramesWritten > 0);
  EXPECT_TRUE(Control<QLabel>("StatusPanel0")->text().startsWith(QStringLiteral("Check: matched")))
      << Control<QLabel>("StatusPanel0")->text().toStdString();

  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(output, facts));
  EXPECT_NEAR(static_cast<double>(facts.DurationUs) / 1e6, 2.04, 0.1);
  EXPECT_EQ(fixtures::DecodeFirstFrameIndex(output), start_frame);
  // The end thumbnail's picture is the file's last.
  EXPECT_EQ(FrameIndexOf(window_->Preview().EndThumbnail.Frame), 67);
  EXPECT_TRUE(FrameIndicesRun(output, start_frame, 51));

  // The preview is back, paused where it was, and answers the transport.
  EXPECT_TRUE(window_->Player().Active());
  EXPECT_EQ(window_->Player().ShownFrame().PTS, 2680000);
  EXPECT_EQ(FrameIndexOf(window_->Player().CurrentFrame()), 67);
  Click("ButtonPlay");
  EXPECT_TRUE(WaitFor([&] { return window_->Model().PlayPosition > 2800000; }, 3s));
  Trigger(window_.get(), "ActionGoToStart");
  EXPECT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS < 1000000; }, 3s));
  EXPECT_TRUE(WaitFor([&] { return window_->Model().PlayPosition < 1000000; }, 3s));
}

TEST_F(TWindowSplitTest, OpeningAnotherFileWhilePausedShowsAndCutsThatFile) {
  fixtures::TFixtureRecipe recipe;
  recipe.Seconds = 1.6;
  recipe.FirstFrameIndex = 200;  // 320x240, pictures 200 to 239
  const std::string other = temp_.File("other.mp4");
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, other));
  window_->OpenFile(QString::fromStdString(MakeClip(4.0)));
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS > 0; }, 5s));
  Click("ButtonPause");
  Click("ButtonMarkStart");
  ASSERT_GT(window_->Preview().StartThumbnail.Frame.Width, 0);

  // Dropped onto the window; a drag that says it brings URLs and brings none is let go.
  QMimeData nothing;
  nothing.setData(QStringLiteral("text/uri-list"), QByteArray());
  QMimeData urls;
  urls.setUrls({QUrl::fromLocalFile(QString::fromStdString(other))});
  auto drag = [&](QMimeData& data) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &enter);
    return enter.isAccepted();
  };
  auto drop = [&](QMimeData& data) {
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &event);
  };
  EXPECT_FALSE(drag(nothing));
  ASSERT_TRUE(drag(urls));
  drop(nothing);  // the window is the drop's target now
  EXPECT_NE(window_->Model().EditInputFilename, other);
  drag(urls);
  drop(urls);

  // The player, the bar and End are the new file's; the mark keeps its time, not
  // the other file's picture.
  EXPECT_EQ(window_->Preview().StartThumbnail.Frame.Width, 0);
  EXPECT_EQ(window_->Model().ExactStart.Time, -1);
  EXPECT_EQ(window_->Model().EditInputFilename, other);
  EXPECT_EQ(window_->Player().FileName(), other);
  EXPECT_EQ(window_->Model().SourceSize.Text(), "320x240");
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS >= 0; }, 5s));
  EXPECT_GE(FrameIndexOf(window_->Player().CurrentFrame()), 200);
  EXPECT_LT(window_->Preview().TrackBarMax, 2000000);
  Click("ButtonPause");
  Trigger(window_.get(), "ActionGoToEnd");
  ASSERT_TRUE(WaitFor([&] { return FrameIndexOf(window_->Player().CurrentFrame()) == 239; }, 3s));

  // Start cuts it: the whole of it, from its first picture.
  TMainWindowModel& model = window_->Model();
  model.ComboOutputFormat.Select(model.ComboOutputFormat.IndexOf("MP4 - MPEG4 Video (*.mp4)"));
  model.ComboOutputFormatChange();
  model.EditOutputFolder = temp_.Path().string();
  Click("ButtonClearMarks");
  Click("ButtonStart");
  ASSERT_TRUE(WaitForEnd(60s));
  const std::string output = model.LastOutputPath();
  EXPECT_EQ(fixtures::DecodeFirstFrameIndex(output), 200);
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(output, facts));
  EXPECT_NEAR(static_cast<double>(facts.DurationUs) / 1e6, 1.6, 0.1);
}

TEST_F(TWindowSplitTest, UnreadableFilesAndUnwritableFoldersAreNamed) {
  // A text file named .mp4 and a cut-off MP4 are refused as they are opened, saying why.
  const std::string text = temp_.File("notes.mp4");
  std::ofstream(text) << "This is a shopping list, not a video.\n";
  const std::string whole = MakeClip(2.0, "whole.mp4");
  const std::string cut = CutOff(whole, std::filesystem::file_size(whole) / 3, temp_.File("cut.mp4"));
  for (const std::string& path : {text, cut}) {
    SCOPED_TRACE(path);
    sink_.shown.clear();
    window_->OpenFile(QString::fromStdString(path));
    ASSERT_EQ(sink_.Texts().size(), 1u);
    const std::string said = sink_.Texts()[0];
    const std::string head = "This file cannot be read:\n\r" + path + "\n\r";
    EXPECT_EQ(said.rfind(head, 0), 0u) << said;
    EXPECT_GT(said.size(), head.size()) << said;  // and why
    EXPECT_FALSE(window_->Player().Active());
    std::cout << "[ refused  ] " << said.substr(head.size()) << "\n";
  }

  // A folder no file can be made in is named before anything starts.
  Prepare(whole);
  std::string folder = "/proc";  // what even the superuser cannot write
  if (geteuid() != 0) {
    folder = temp_.File("read-only");
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_exec);
  }
  window_->Model().EditOutputFolder = folder;
  Click("ButtonPlay");
  ASSERT_TRUE(WaitFor([&] { return window_->Player().ShownFrame().PTS > 0; }, 5s));
  Click("ButtonPause");
  sink_.shown.clear();
  Click("ButtonStart");
  EXPECT_FALSE(window_->Model().Splitting);
  // The refused Start left the preview as it was.
  EXPECT_TRUE(window_->Player().Active());
  EXPECT_TRUE(window_->Player().Paused());
  ASSERT_FALSE(sink_.Texts().empty());
  const std::string said = sink_.Texts()[0];
  EXPECT_EQ(said.rfind("The output folder \"" + folder + "\"\n\rcannot be written (", 0), 0u)
      << said;
  EXPECT_NE(said.find("Please choose another output folder."), std::string::npos) << said;
}

TEST_F(TWindowTest, ASplitsPreviewPicturesKeepTheirShape) {
  // A wide picture (8:3) lies between black bars, as the player shows pictures.
  TBitmap wide;
  wide.SetSize(320, 120);
  std::fill(wide.Pixels.begin(), wide.Pixels.end(), uint8_t{255});
  TPlayPanel& panel = window_->PanelPlay();
  panel.ShowConversionFrame(wide);
  const QImage shown = panel.Shown();
  const int middle = shown.width() / 2;
  const int picture = shown.width() * 120 / 320;
  const int top = (shown.height() - picture) / 2;
  EXPECT_EQ(qGray(shown.pixel(middle, top - 2)), 0);
  EXPECT_EQ(qGray(shown.pixel(middle, top + 2)), 255);
  EXPECT_EQ(qGray(shown.pixel(middle, top + picture - 2)), 255);
  EXPECT_EQ(qGray(shown.pixel(middle, top + picture + 2)), 0);
  EXPECT_EQ(qGray(shown.pixel(1, shown.height() / 2)), 255);  // full width
}

TEST_F(TWindowSplitTest, StopSplittingAnsweredNoGoesOnAndYesStops) {
  Prepare(MakeClip(30.0, "long.mp4"));
  EXPECT_FALSE(Control("ButtonStopSplit")->isEnabled());
  Click("ButtonStart");
  ASSERT_TRUE(window_->Model().Splitting);
  // What does nothing during a split looks disabled.
  for (const char* name : {"SpeedButton7", "ButtonOutputFolder", "ButtonClearMarks"}) {
    EXPECT_FALSE(Control(name)->isEnabled()) << name;
  }
  EXPECT_FALSE(window_->findChild<QAction*>("AddVideoFile1")->isEnabled());
  EXPECT_TRUE(Control("ButtonStopSplit")->isEnabled());
  sink_.confirm_answer = false;
  Click("ButtonStopSplit");
  EXPECT_EQ(sink_.Texts("confirm"), std::vector<std::string>{"Stop all conversions?"});
  EXPECT_TRUE(window_->Model().Splitting);
  EXPECT_FALSE(Control("ButtonStart")->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return window_->Model().Session().ProgressCount() > 0; }, 20s));
  sink_.confirm_answer = true;
  Click("ButtonStopSplit");
  EXPECT_TRUE(Control("ButtonStart")->isEnabled());  // at once
  ASSERT_TRUE(WaitForEnd(20s));
  Spend(300ms);
  // Stopped, and where the part written so far is.
  const std::string output = window_->Model().LastOutputPath();
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "The split was stopped.\n\rWhat was written so far is kept in " +
                               output});
  EXPECT_TRUE(std::filesystem::exists(output));
  EXPECT_EQ(window_->Model().Session().LastEnd()->Outcome, TSplitOutcome::Stopped);
  EXPECT_TRUE(Control("SpeedButton7")->isEnabled());
  EXPECT_TRUE(window_->findChild<QAction*>("AddVideoFile1")->isEnabled());
  EXPECT_FALSE(Control("ButtonStopSplit")->isEnabled());
}

}  // namespace
}  // namespace kelvane::test
