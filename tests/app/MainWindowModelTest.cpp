// The main window's workflow before and around a split: start-up, the checks
// made when Start is pressed and their messages, marks and progress display.
#include <gtest/gtest.h>

#include <functional>

#include "app/MainWindowModel.h"
#include "binding/MainThread.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {
namespace {

class TMainWindowModelTest : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    model_.FormCreate(KELVANE_BINARY_DIR);
  }

  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
};

TEST_F(TMainWindowModelTest, StartUpFillsTheLists) {
  EXPECT_TRUE(sink_.shown.empty());
  EXPECT_EQ(model_.ComboOutputFormat.Text(), "H.264 MP4 - Plays Everywhere (*.mp4)");
  EXPECT_EQ(model_.ComboOutputFormat.DropDownCount(), 25);
  EXPECT_EQ(model_.ContainerName, "MP4");
  EXPECT_EQ(model_.ComboLetterBox.Items(), (std::vector<std::string>{"None", "Add LetterBox"}));
  EXPECT_EQ(model_.ComboLetterBox.Text(), "Add LetterBox");
  EXPECT_EQ(model_.ComboAudioChannels.Items(),
            (std::vector<std::string>{"Original", "Stereo", "Mono"}));
  EXPECT_EQ(model_.StartMarkText, "0.00");
  EXPECT_EQ(model_.ProgressText, "0%");
  EXPECT_EQ(model_.StatusLine, "Ready");
  EXPECT_FALSE(model_.Splitting);
}

struct TCheckCase {
  const char* what;
  std::function<void(TMainWindowModel&, const TTempDir&)> arrange;
  const char* kind;
  std::string text;
  bool folder_dialog;
};

TEST_F(TMainWindowModelTest, StartRefusesWithItsMessages) {
  const std::vector<TCheckCase> cases = {
      {"no input file",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "   ";
         m.EditOutputFolder = d.Path().string();
       },
       "message", "Please add a video file To split!", false},
      {"no output folder",
       [](TMainWindowModel& m, const TTempDir&) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = "";
       },
       "message", "Please select an output folder!", true},
      {"missing output folder",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = d.File("gone") + " ";
       },
       "message",
       "The output folder \"" + temp_.File("gone") +
           " \"\n\rdoes not exist or has been deleted!\n\rPlease choose a new output folder.",
       true},
      {"empty mark",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = d.Path().string();
         m.EndMarkText = "";
       },
       "message",
       "Either the start time or end time is NOT correct.\n\rPlease make the necessary "
       "adjustment.",
       false},
      {"mark not a number",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = d.Path().string();
         m.StartMarkText = "1.2.3";
       },
       "error", "'1.2.3' is not a valid floating point value", false},
      {"end before start",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = d.Path().string();
         m.StartMarkText = "5.00";
         m.EndMarkText = "4.99";
       },
       "message",
       "The end time is smaller than the start time!\n\rPlease make sure that the end time is "
       "LARGER than the start time.",
       false},
      {"mark without a decimal point",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = "/tmp/clip.avi";
         m.EditOutputFolder = d.Path().string();
         m.StartMarkText = "1.00";
         m.EndMarkText = "12";
       },
       "message",
       "The end time \"12\" cannot be used.\n\rPlease write it in seconds with a decimal point, "
       "for example 12.00.",
       false},
      {"input that cannot be opened",
       [](TMainWindowModel& m, const TTempDir& d) {
         m.EditInputFilename = d.File("missing.avi");
         m.EditOutputFolder = d.Path().string();
       },
       "message", "This file cannot be splitted!", false},
  };
  for (const TCheckCase& c : cases) {
    SCOPED_TRACE(c.what);
    sink_.shown.clear();
    model_.StartMarkText = model_.EndMarkText = "0.00";
    c.arrange(model_, temp_);
    model_.ButtonStartClick();
    PumpMessages();
    ASSERT_FALSE(sink_.shown.empty());
    EXPECT_EQ(sink_.shown[0].kind, c.kind);
    EXPECT_EQ(sink_.shown[0].caption, c.kind == std::string("error") ? "Kelvane" : "Information");
    EXPECT_EQ(sink_.shown[0].text, c.text);
    EXPECT_EQ(sink_.Texts("folder").size(), c.folder_dialog ? 1u : 0u);
    EXPECT_FALSE(model_.Splitting);
    EXPECT_TRUE(model_.ControlsEnabled);
    EXPECT_FALSE(model_.EndMessageTimerEnabled);  // no end message follows a refusal
    EXPECT_EQ(model_.Converter().TaskCount(), 0);
  }
}

TEST_F(TMainWindowModelTest, FolderChosenWhenAskedForOne) {
  model_.EditInputFilename = "/tmp/clip.avi";
  sink_.folder_answer = temp_.Path().string();
  model_.ButtonStartClick();
  EXPECT_EQ(sink_.Texts("folder"), std::vector<std::string>{"Please select an output folder :"});
  EXPECT_EQ(model_.EditOutputFolder, temp_.Path().string());
  EXPECT_FALSE(model_.Splitting);  // the user presses Start again
}

TEST_F(TMainWindowModelTest, ProgressShowsFramesAndACappedPercentage) {
  struct TCase {
    int32_t frame, current, total;
    const char* status;
    const char* percent;
    int32_t bar;
  };
  const TCase cases[] = {
      {1250, 4200, 10000, "1250 frames", "42%", 42},
      {1300, 4299, 10000, "1300 frames", "42%", 42},
      {1400, 12000, 10000, "1400 frames", "100%", 120},
      {1500, 5000, 0, "1500 frames", "100%", 120},   // unknown total: unchanged
      {1600, 5000, -1, "1600 frames", "100%", 120},
      {10, 30000000, 40000000, "10 frames", "75%", 75},  // long files: no overflow
  };
  for (const TCase& c : cases) {
    TProgressInfo progress;
    progress.FrameNumber = c.frame;
    progress.CurrentDuration = c.current;
    progress.TotalOutputDuration = c.total;
    model_.FFConverterProgress(progress);
    PumpMessages();
    EXPECT_EQ(model_.FrameCountLine, c.status);
    EXPECT_EQ(model_.ProgressText, c.percent);
    EXPECT_EQ(model_.ProgressValue, c.bar);
  }
}

TEST_F(TMainWindowModelTest, MarksFollowThePreviewPosition) {
  model_.PlayerPosition(83456789);
  EXPECT_EQ(model_.PositionText, "83.46");
  model_.ButtonMarkStartClick();
  model_.PlayerPosition(90000000);
  model_.ButtonMarkEndClick();
  EXPECT_EQ(model_.StartMarkText, "83.46");
  EXPECT_EQ(model_.EndMarkText, "90.00");
  model_.ProgressText = "42%";
  model_.ButtonClearMarksClick();
  EXPECT_EQ(model_.StartMarkText, "0.00");
  EXPECT_EQ(model_.EndMarkText, "0.00");
  EXPECT_EQ(model_.PositionText, "0.00");
  EXPECT_EQ(model_.ProgressText, "0%");
}

TEST_F(TMainWindowModelTest, MarksTypedByHand) {
  model_.StartMarkText = "1.25";
  model_.EditEndTimeClick();
  EXPECT_EQ(model_.TimeEditText(), "0.00");
  model_.EditStartTimeClick();
  EXPECT_EQ(model_.TimeEditText(), "1.25");
  std::string label = "old hint";
  std::string typed;
  for (char key : std::string("1:2.5.a")) {
    if (TMainWindowModel::TimeEditKeyAllowed(typed, key, label)) typed += key;
  }
  EXPECT_EQ(typed, "1:2.5");  // a second "." and letters are refused
  EXPECT_EQ(label, TMainWindowModel::TimeEditHint());
  EXPECT_NE(label.find("(0:01:23.46)"), std::string::npos);
  EXPECT_TRUE(TMainWindowModel::TimeEditKeyAllowed(typed, '\b', label));
  EXPECT_EQ(label, "");
  // The forms kelvane-split reads, written back as the panels write marks.
  std::string refusal;
  for (const auto& [text, mark] : {std::pair{"12.5", "12.50"}, std::pair{"1:23.46", "83.46"},
                                   std::pair{"0:01:23.46", "83.46"}, std::pair{"1795", "1795.00"}}) {
    EXPECT_TRUE(model_.TimeEditDone(text, refusal)) << text << ": " << refusal;
    EXPECT_EQ(model_.StartMarkText, mark);
  }
  model_.EditEndTimeClick();
  EXPECT_FALSE(model_.TimeEditDone("1:75", refusal));
  EXPECT_NE(refusal.find("\"1:75\" is not a time. Type seconds (83.46)"), std::string::npos);
  EXPECT_FALSE(model_.TimeEditDone("10.00", refusal));  // before the start
  EXPECT_EQ(refusal, "The end 10.00 lies before the start mark 1795.00.");
  EXPECT_EQ(model_.EndMarkText, "0.00");
}

TEST_F(TMainWindowModelTest, AnUnreadableFileIsRefusedAtOpeningButKept) {
  const std::string path = temp_.File("notes.txt");
  FILE* file = fopen(path.c_str(), "w");
  fputs("not media", file);
  fclose(file);
  EXPECT_FALSE(model_.AddVideoFile(path));
  EXPECT_EQ(model_.EditInputFilename, path);
  // Refused at once, saying why.
  ASSERT_EQ(sink_.Texts().size(), 1u);
  EXPECT_EQ(sink_.Texts()[0].rfind("This file cannot be read:\n\r" + path + "\n\r", 0), 0u)
      << sink_.Texts()[0];
}

}  // namespace
}  // namespace kelvane::test
