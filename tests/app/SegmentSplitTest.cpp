// Several segments of one file in one go: the list's checks and its file form,
// three segments of a clip whose pictures carry their frame numbers written as
// three files and as one joined file (H.264 MP4, Matroska, WebM, MPEG-2;
// losslessly from MP4 and Matroska) with a chapter at each join where the
// container carries chapters (AVI's mismatch at a start mark between pictures
// named with its reason), and Stop in the second segment.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "app/MainWindowModel.h"
#include "app/SegmentList.h"
#include "app/Quality.h"
#include "binding/AVPtr.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/MediaAssertions.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

TEST(SegmentListTest, RefusesWhatCannotBeSplitAndReadsItsFileForm) {
  TSegmentList list;
  EXPECT_EQ(list.Validate(10), "The segment list is empty.");
  list.Add({1, 2, "Intro"});
  list.Add({5, 3, ""});
  EXPECT_EQ(list.Validate(10),
            "Segment 2 ends at 0:00:03.000, before it starts at 0:00:05.000.");
  list.Replace(1, {1.5, 3, "B"});
  EXPECT_EQ(list.Validate(10), "Segment 2 (\"B\") (0:00:01.500 to 0:00:03.000) overlaps "
                               "segment 1 (0:00:01.000 to 0:00:02.000).");
  list.Replace(1, {2, 12, "B"});
  EXPECT_EQ(list.Validate(10),
            "Segment 2 (\"B\") ends at 0:00:12.000, past the end of the file at 0:00:10.000.");
  list.Replace(1, {2, 2, "B"});
  EXPECT_NE(list.Validate(10).find("is empty"), std::string::npos);
  list.Replace(1, {6, 8, "a \"b\", c"});
  list.Add({2, 4, ""});
  EXPECT_EQ(list.Validate(10), "");

  list.Move(2, 0);
  list.Rename(0, "first");
  EXPECT_EQ(list.Items()[0].Label, "first");
  EXPECT_EQ(list.Items()[1].Label, "Intro");
  const TSegmentList gaps = list.Inverted(10);
  ASSERT_EQ(gaps.Count(), 3u);  // 0-1, 4-6, 8-10
  EXPECT_EQ(gaps.Items()[1].Start, 4);
  EXPECT_EQ(gaps.Items()[1].End, 6);
  EXPECT_EQ(gaps.Items()[2].End, 10);

  TSegmentList read;
  std::string error;
  ASSERT_TRUE(TSegmentList::ReadCsv(list.ToCsv(), read, error)) << error;
  ASSERT_EQ(read.Count(), 3u);
  EXPECT_EQ(read.Items()[2].Label, "a \"b\", c");
  EXPECT_EQ(read.ToCsv(), list.ToCsv());
  ASSERT_TRUE(TSegmentList::ReadCsv("start,end,label\n# kept\n\n1:02.5,0:01:10,A\n0.033367,1\n",
                                    read, error));
  EXPECT_EQ(read.Items()[0].Start, 62.5);
  EXPECT_EQ(read.Items()[0].End, 70);
  EXPECT_DOUBLE_EQ(read.Items()[1].Start, 0.033367);
  EXPECT_FALSE(TSegmentList::ReadCsv("1,2\n3,1:75,x\n", read, error));
  EXPECT_EQ(error.rfind("Line 2: the end \"1:75\" is not a time", 0), 0u) << error;
  EXPECT_FALSE(TSegmentList::ReadCsv("1,2\n\n3\n", read, error));
  EXPECT_EQ(error.rfind("Line 3: ", 0), 0u) << error;
  EXPECT_EQ(read.Count(), 2u);  // untouched by a file it refused
}

// Chapters of a file: start and end (µs) and title; and the file's length.
struct TChapter {
  int64_t Start, End;
  std::string Title;
};
std::vector<TChapter> Chapters(const std::string& path, int64_t* duration = nullptr) {
  std::vector<TChapter> chapters;
  AVFormatContext* ic = nullptr;
  if (avformat.avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return chapters;
  if (duration != nullptr) *duration = ic->duration;
  for (unsigned i = 0; i < ic->nb_chapters; ++i) {
    const AVChapter* c = ic->chapters[i];
    const AVDictionaryEntry* title = avutil.av_dict_get(c->metadata, "title", nullptr, 0);
    chapters.push_back({avutil.av_rescale_q(c->start, c->time_base, AV_TIME_BASE_Q),
                        avutil.av_rescale_q(c->end, c->time_base, AV_TIME_BASE_Q),
                        title != nullptr ? title->value : ""});
  }
  avformat.avformat_close_input(&ic);
  return chapters;
}

// The steps (µs) between a file's pictures in the order shown, and whether
// their decoding times strictly increase.
std::vector<int64_t> PictureSteps(const std::string& path, bool& decoding_times_increase) {
  std::vector<int64_t> times, steps;
  decoding_times_increase = true;
  AVFormatContext* ic = nullptr;
  if (avformat.avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return steps;
  const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  int64_t last_dts = INT64_MIN;
  while (video >= 0 && avformat.av_read_frame(ic, packet.get()) >= 0) {
    if (packet->stream_index == video) {
      const AVRational tb = ic->streams[video]->time_base;
      if (packet->dts <= last_dts) decoding_times_increase = false;
      last_dts = packet->dts;
      times.push_back(avutil.av_rescale_q(packet->pts, tb, AV_TIME_BASE_Q));
    }
    avcodec.av_packet_unref(packet.get());
  }
  avformat.avformat_close_input(&ic);
  std::sort(times.begin(), times.end());
  for (size_t i = 1; i < times.size(); ++i) steps.push_back(times[i] - times[i - 1]);
  return steps;
}

std::vector<int> Indices(int first, int count) {
  std::vector<int> run;
  for (int i = 0; i < count; ++i) run.push_back(first + i);
  return run;
}

class TSegmentSplitTest : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    model_.FormCreate(KELVANE_BINARY_DIR);
    input_ = MakeFixture(temp_, "mp4-h264-aac", "clip.mp4", [](fixtures::TFixtureRecipe& r) {
      r.Seconds = 6;
      r.Width = 320;
      r.Height = 240;
      r.TickEveryFrames = 5;  // a sound mark at pictures 0, 5, 10, ...
    });
    ASSERT_TRUE(model_.AddVideoFile(input_));
    // Pictures 12-29, 50-69 and 100-124 at 25 fps. (Matroska's sound begins
    // with the encoder's priming in place of its first 23 ms: no mark there.)
    model_.Segments.Add({0.48, 1.2, "Intro"});
    model_.Segments.Add({2.0, 2.8, ""});
    model_.Segments.Add({4.0, 5.0, "End part"});
    model_.EditOutputFolder = out_.Path().string();
  }

  void Format(const std::string& name) {
    model_.ComboOutputFormat.Select(model_.ComboOutputFormat.IndexOf(name));
    model_.ComboOutputFormatChange();
  }

  // Start pressed in the window with the list filled: the end it reports.
  TSplitEnd Split() {
    sink_.shown.clear();
    model_.ButtonStartClick();
    EXPECT_TRUE(model_.Splitting) << (sink_.shown.empty() ? "" : sink_.shown[0].text);
    EXPECT_TRUE(model_.Session().WaitForEnd(180s));
    EXPECT_FALSE(model_.Splitting);
    return model_.Session().LastEnd() ? *model_.Session().LastEnd() : TSplitEnd{};
  }

  // `sound_lead`: how long before its picture the source plays each mark.
  void ExpectJoined(const std::string& extension, bool chapters_carried = true,
                    int64_t sound_lead = 0) {
    model_.JoinSegments = true;
    const TSplitEnd end = Split();
    ASSERT_EQ(end.Outcome, TSplitOutcome::Finished) << end.Reason;
    EXPECT_EQ(end.SegmentCount, 3);
    ASSERT_EQ(end.Files.size(), 1u);
    EXPECT_EQ(end.OutputPath, out_.File("clip - joined." + extension));
    std::vector<int> expected = Indices(12, 18);
    for (int i : Indices(50, 20)) expected.push_back(i);
    for (int i : Indices(100, 25)) expected.push_back(i);
    const std::vector<int> indices = DecodedIndices(end.OutputPath);
    EXPECT_EQ(indices, expected) << DescribeIndices(indices);
    // Each mark is heard within 5 ms of its picture, on both sides of each
    // join, and no sound of the parts left out is heard.
    std::vector<int64_t> onsets;
    std::vector<fixtures::TDecodedFrame> pictures;
    std::string error;
    ASSERT_TRUE(fixtures::DecodeSoundMarks(end.OutputPath, onsets, &error)) << error;
    ASSERT_TRUE(fixtures::DecodeVideoFrames(end.OutputPath, pictures, &error)) << error;
    size_t marks = 0;
    for (const fixtures::TDecodedFrame& picture : pictures) {
      if (picture.Index % 5 != 0) continue;
      ++marks;
      int64_t nearest = INT64_MAX;
      for (int64_t onset : onsets) {
        if (std::llabs(onset - picture.PtsUs) < std::llabs(nearest)) nearest = onset - picture.PtsUs;
      }
      EXPECT_LE(std::llabs(nearest + sound_lead), 5000) << "mark of picture " << picture.Index;
    }
    EXPECT_EQ(marks, 12u);
    if (sound_lead == 0) {
      EXPECT_EQ(onsets.size(), marks);
    }
    // The check compared both sides of every join, and the sound at each.
    ASSERT_TRUE(end.Check.has_value());
    EXPECT_TRUE(end.Check->Matched()) << end.Check->Summary();
    EXPECT_EQ(end.Check->Parts.size(), 3u);
    const std::vector<TChapter> chapters = Chapters(end.OutputPath);
    ASSERT_EQ(chapters.size(), chapters_carried ? 3u : 0u);
    if (!chapters_carried) return;
    const int64_t joins[] = {0, 720000, 1520000, 2520000};
    const char* titles[] = {"Intro", "Segment 2", "End part"};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(chapters[i].Start, joins[i], 1000) << i;
      EXPECT_NEAR(chapters[i].End, joins[i + 1], 1000) << i;
      EXPECT_EQ(chapters[i].Title, titles[i]);
    }
  }

  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
  TTempDir out_;
  std::string input_;
};

TEST_F(TSegmentSplitTest, ThreeSegmentsAsThreeFilesAndAsOneJoinedFile) {
  Format(DefaultFormat());
  const TSplitEnd end = Split();
  ASSERT_EQ(end.Outcome, TSplitOutcome::Finished) << end.Reason;
  ASSERT_EQ(end.Files.size(), 3u);
  const char* names[] = {"clip - Intro.mp4", "clip - segment 2.mp4", "clip - End part.mp4"};
  const int first[] = {12, 50, 100}, count[] = {18, 20, 25};
  for (size_t i = 0; i < 3; ++i) {
    const TSplitEnd& file = end.Files[i];
    EXPECT_EQ(file.OutputPath, out_.File(names[i]));
    EXPECT_EQ(DecodedIndices(file.OutputPath), Indices(first[i], count[i])) << names[i];
    ASSERT_TRUE(file.Check.has_value());
    EXPECT_TRUE(file.Check->Matched()) << file.Check->Summary();
  }
  // The window's end message lists the files; its status bar, the checks.
  model_.EndMessageTimerFired();
  ASSERT_EQ(sink_.Texts().size(), 1u);
  const std::string message = sink_.Texts()[0];
  EXPECT_EQ(message, ListEndMessage(end));
  EXPECT_EQ(message.rfind("Splitting job completed!\n\rThe new files are:", 0), 0u) << message;
  EXPECT_NE(message.find(out_.File("clip - End part.mp4")), std::string::npos);
  EXPECT_EQ(model_.StatusLine, "Check: 3 files matched their segments");

  ExpectJoined("mp4");
}

TEST_F(TSegmentSplitTest, JoinedIntoMatroska) {
  Format("Matroska - H.264 (*.mkv)");
  ExpectJoined("mkv");
  Format("VP9 WebM - For the Web (*.webm)");
  ExpectJoined("webm");
  // A program stream begins half a second in and is sought by its bytes.
  Format("MPEG-2 Movie (*.mpg)");
  ExpectJoined("mpg", false);
  // AVI's pictures have no times: a start mark between two pictures is a
  // mismatch the check names with its reason.
  Format("AVI - Audio Video Interleave (*.avi)");
  model_.Segments.Replace(1, {2.01, 2.8, ""});
  const TSplitEnd end = Split();
  ASSERT_TRUE(end.Check.has_value());
  const std::string status = end.Check->StatusText();
  EXPECT_NE(status.find("segment 2: sound +"), std::string::npos) << status;
  EXPECT_NE(status.find("segment 2: AVI holds pictures only at its fixed rate"), std::string::npos)
      << status;
  EXPECT_EQ(status.find("segment 3: AVI"), std::string::npos) << status;
}

TEST_F(TSegmentSplitTest, OverlappingAndReversedSegmentsAreRefused) {
  Format(DefaultFormat());
  TSplitJob job = model_.MakeSplitJob();
  job.Segments.Add({4.5, 5.5, ""});
  std::string message;
  EXPECT_FALSE(model_.Session().Start(job, message));
  EXPECT_EQ(message.rfind("Segment 4 (0:00:04.500 to 0:00:05.500) overlaps segment 3", 0), 0u)
      << message;
  job.Segments.Replace(3, {5.8, 5.5, ""});
  EXPECT_FALSE(model_.Session().Start(job, message));
  EXPECT_EQ(message, "Segment 4 ends at 0:00:05.500, before it starts at 0:00:05.800.");
  // A source whose pictures cannot be copied in part is not joined in its own
  // format: refused, naming why, before anything is written.
  ASSERT_TRUE(model_.AddVideoFile(MakeFixture(temp_, "mkv-ffv1-odd", "old.mkv")));
  Format("Same as Source - Lossless (*.*)");
  job = model_.MakeSplitJob();
  job.Segments.Clear();
  job.Segments.Add({0.2, 0.6, ""});
  job.Segments.Add({1.0, 1.4, ""});
  job.JoinSegments = true;
  if (model_.Session().Start(job, message)) {
    ASSERT_TRUE(model_.Session().WaitForEnd(60s));
    message = model_.Session().LastEnd()->Reason;
    EXPECT_EQ(model_.Session().LastEnd()->Outcome, TSplitOutcome::Failed);
  }
  EXPECT_NE(message.find("cannot be joined without re-encoding them: only H.264, H.265, VP9"),
            std::string::npos)
      << message;
  EXPECT_TRUE(std::filesystem::is_empty(out_.Path()));
}

TEST_F(TSegmentSplitTest, JoinedLosslesslyInTheSourcesFormat) {
  // The first segment starts between key frames (every 25 pictures) and ends
  // inside a group; the others start on key frames. Each part's edges are
  // encoded again, its middle copied, and every copied picture is proven.
  Format("Same as Source - Lossless (*.*)");
  ExpectJoined("mp4");
  const TSplitEnd& end = *model_.Session().LastEnd();
  ASSERT_EQ(end.Files.size(), 1u);
  const TSplitEnd& file = end.Files[0];
  EXPECT_EQ(file.Method, "smart");
  EXPECT_GE(file.CopiedPictures, 40);
  EXPECT_GE(file.EncodedPictures, 13);
  EXPECT_EQ(file.CopiedPictures + file.EncodedPictures, 63);
  ASSERT_TRUE(end.Check.has_value());
  EXPECT_EQ(end.Check->CopiedPictures, file.CopiedPictures);
  EXPECT_EQ(end.Check->IdenticalPictures, file.CopiedPictures) << end.Check->Summary();
  // The marks lie on pictures: one picture follows another every 40 ms across
  // the joins too, and no picture is decoded before the one it follows.
  bool increase = false;
  for (int64_t step : PictureSteps(end.OutputPath, increase)) EXPECT_NEAR(step, 40000, 100);
  EXPECT_TRUE(increase);

  // A Matroska source with Opus sound, whose pictures start 80 ms after its
  // sound (its marks play that much before their pictures, in the joined file
  // too); the segments lie as far on.
  ASSERT_TRUE(model_.AddVideoFile(MakeFixture(temp_, "mkv-h264-vorbis", "clip.mkv",
                                              [](fixtures::TFixtureRecipe& r) {
                                                r.Seconds = 6;
                                                r.Width = 320;
                                                r.Height = 240;
                                                r.TickEveryFrames = 5;
                                                r.AudioCodec = "libopus";
                                              })));
  model_.Segments.Replace(0, {0.56, 1.28, "Intro"});
  model_.Segments.Replace(1, {2.08, 2.88, ""});
  model_.Segments.Replace(2, {4.08, 5.08, "End part"});
  Format("Same as Source - Lossless (*.*)");
  ExpectJoined("mkv", true, 80000);
  EXPECT_EQ(model_.Session().LastEnd()->Files[0].Method, "smart");

  // AV1 in WebM, as today's formats code it: each part's head re-encoded
  // under the source's sequence header.
  ASSERT_TRUE(model_.AddVideoFile(MakeFixture(temp_, "webm-vp8-opus", "clip.webm",
                                              [](fixtures::TFixtureRecipe& r) {
                                                r.Seconds = 6;
                                                r.VideoCodec = "libsvtav1";
                                                r.TickEveryFrames = 5;
                                              })));
  model_.Segments.Replace(0, {0.48, 1.2, "Intro"});
  model_.Segments.Replace(1, {2.0, 2.8, ""});
  model_.Segments.Replace(2, {4.0, 5.0, "End part"});
  Format("Same as Source - Lossless (*.*)");
  ExpectJoined("webm");
  const TSplitEnd& av1 = model_.Session().LastEnd()->Files[0];
  EXPECT_EQ(av1.Method, "smart");
  EXPECT_EQ(model_.Session().LastEnd()->Check->IdenticalPictures, av1.CopiedPictures);
}

TEST_F(TSegmentSplitTest, StopInTheSecondSegmentKeepsWhatWasWritten) {
  Format(DefaultFormat());
  model_.Converter().SetProgressInterval(100);
  // A longer, larger second segment, so that Stop lands inside it.
  const std::string input = MakeFixture(temp_, "mp4-h264-aac", "long.mp4",
                                        [](fixtures::TFixtureRecipe& r) {
                                          r.Seconds = 12;
                                          r.Width = 640;
                                          r.Height = 480;
                                        });
  ASSERT_TRUE(model_.AddVideoFile(input));
  model_.Segments.Replace(1, {1.2, 11.0, ""});
  model_.Segments.Replace(2, {11.0, 12.0, "Tail"});
  std::string message;
  TSplitSession& session = model_.Session();
  ASSERT_TRUE(session.Start(model_.MakeSplitJob(), message)) << message;
  ASSERT_TRUE(WaitOnMainThread(
      [&] { return !session.Running() || session.LastProgress().Segment == 2; }, 120s));
  session.Stop();
  ASSERT_TRUE(session.WaitForEnd(60s));
  const TSplitEnd& end = *session.LastEnd();
  EXPECT_EQ(end.Outcome, TSplitOutcome::Stopped);
  ASSERT_EQ(end.Files.size(), 2u);
  EXPECT_EQ(end.Files[0].Outcome, TSplitOutcome::Finished);
  EXPECT_EQ(DecodedIndices(end.Files[0].OutputPath), Indices(12, 18));
  EXPECT_EQ(end.Files[1].Outcome, TSplitOutcome::Stopped);
  ASSERT_TRUE(FileExists(end.Files[1].OutputPath));
  const std::vector<int> second = DecodedIndices(end.Files[1].OutputPath);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second, Indices(30, static_cast<int>(second.size())));
  EXPECT_LT(second.size(), 245u);
  const std::string text = ListEndMessage(end);
  EXPECT_EQ(text.rfind("The split was stopped.\n\rThe new files are:", 0), 0u) << text;

  // Joined, Stop in the second part keeps the first and what was written of
  // the second, and the chapters of those two only, the second ending where
  // the file ends.
  model_.JoinSegments = true;
  ASSERT_TRUE(session.Start(model_.MakeSplitJob(), message)) << message;
  ASSERT_TRUE(WaitOnMainThread(
      [&] { return !session.Running() || session.LastProgress().Segment == 2; }, 120s));
  session.Stop();
  ASSERT_TRUE(session.WaitForEnd(60s));
  const TSplitEnd& joined = *session.LastEnd();
  EXPECT_EQ(joined.Outcome, TSplitOutcome::Stopped);
  const std::vector<int> pictures = DecodedIndices(joined.OutputPath);
  ASSERT_GT(pictures.size(), 18u);
  std::vector<int> expected = Indices(12, 18);
  for (int i : Indices(30, static_cast<int>(pictures.size()) - 18)) expected.push_back(i);
  EXPECT_EQ(pictures, expected) << DescribeIndices(pictures);
  int64_t length = 0;
  const std::vector<TChapter> chapters = Chapters(joined.OutputPath, &length);
  ASSERT_EQ(chapters.size(), 2u);
  EXPECT_EQ(chapters[0].Title, "Intro");
  EXPECT_NEAR(chapters[0].End, 720000, 1000);
  EXPECT_NEAR(chapters[1].Start, 720000, 1000);
  EXPECT_NEAR(chapters[1].End, length, 25000);
  EXPECT_GE(length, static_cast<int64_t>(pictures.size()) * 40000 - 25000);
}

}  // namespace
}  // namespace kelvane::test
