#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/ProgressReporter.h"

namespace kelvane::cli {
namespace {

TCliOptions Parse(std::vector<std::string> args) {
  TCliOptions options;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, options, error)) << error;
  return options;
}

std::string ParseError(std::vector<std::string> args) {
  TCliOptions options;
  std::string error;
  EXPECT_FALSE(ParseCommandLine(args, options, error));
  return error;
}

TEST(CliParse, ValuesInBothFormsAndSwitches) {
  TCliOptions options = Parse({"--start", "1.5", "--end=4", "--format", "MP4 - MPEG4 Video (*.mp4)",
                               "--json", "--overwrite", "--output-dir", "/tmp/out", "clip.avi"});
  EXPECT_EQ(options.InputFile, "clip.avi");
  EXPECT_EQ(*options.Start, "1.5");
  EXPECT_EQ(*options.End, "4");
  EXPECT_EQ(*options.Format, "MP4 - MPEG4 Video (*.mp4)");
  EXPECT_EQ(*options.OutputDir, "/tmp/out");
  EXPECT_TRUE(options.Json);
  EXPECT_TRUE(options.Overwrite);
  EXPECT_FALSE(options.VideoCodec.has_value());
}

TEST(CliParse, FileNamesAfterDoubleDashMayStartWithADash) {
  EXPECT_EQ(Parse({"--", "-odd name.mp4"}).InputFile, "-odd name.mp4");
}

TEST(CliParse, VerboseAndHelp) {
  EXPECT_TRUE(Parse({"-v", "x.mp4"}).Verbose);
  EXPECT_TRUE(Parse({"--help"}).Help);
  EXPECT_NE(UsageText().find("--verbose"), std::string::npos);
  // The same exit statuses as the README.
  EXPECT_NE(UsageText().find("0 the segment was written"), std::string::npos);
  EXPECT_NE(UsageText().find("130 the split was stopped"), std::string::npos);
}

TEST(CliParse, ProbeAndListNeedNoInput) {
  EXPECT_EQ(Parse({"--probe", "x.mp4"}).ProbeFile, "x.mp4");
  EXPECT_TRUE(Parse({"--list-formats"}).ListFormats);
}

TEST(CliParse, MistakesAreNamed) {
  EXPECT_NE(ParseError({"--colour", "x.mp4"}).find("unknown option '--colour'"), std::string::npos);
  EXPECT_NE(ParseError({"x.mp4", "--start"}).find("--start needs a value"), std::string::npos);
  EXPECT_NE(ParseError({"--start", "1"}).find("no input file"), std::string::npos);
  EXPECT_NE(ParseError({"a.mp4", "b.mp4"}).find("only one input file"), std::string::npos);
  EXPECT_NE(ParseError({"--end", "3", "--duration", "2", "a.mp4"}).find("cannot both"),
            std::string::npos);
}

TEST(CliMarks, TimesAsPeopleWriteThemBecomeTwoDecimalMarks) {
  struct {
    const char* typed;
    const char* mark;
  } const cases[] = {{"12", "12.00"},      {"12.5", "12.50"},   {"0.46", "0.46"},
                     {"0.467", "0.46"},    {".4", "0.40"},      {"007", "7.00"},
                     {"0", "0.00"},        {"83.46", "83.46"},  {"1:23.46", "83.46"},
                     {"0:01:23.46", "83.46"}, {"90:00", "5400.00"}, {"1:02:03", "3723.00"}};
  for (const auto& c : cases) {
    std::optional<std::string> mark = MarkText(c.typed);
    ASSERT_TRUE(mark.has_value()) << c.typed;
    EXPECT_EQ(*mark, c.mark) << c.typed;
  }
  for (const char* bad : {"", "-1", "-3", "1e3", "1,5", "1.2.3", "abc", "12345678", "1:75",
                          "1:60:00", ":30", "1:2:3:4"}) {
    EXPECT_FALSE(MarkText(bad).has_value()) << bad;
  }
  EXPECT_NE(BadMarkMessage("start", "1:75").find("minutes and seconds (1:23.46)"),
            std::string::npos);
}

TEST(CliEntries, ExactThenCaseThenPrefixThenNumber) {
  const std::vector<std::string> entries = {"1200 Kbps", "120 Kbps", "Original Size", "mpeg4", "h264"};
  EXPECT_EQ(MatchEntry(entries, "mpeg4"), 3);
  EXPECT_EQ(MatchEntry(entries, "H264"), 4);
  EXPECT_EQ(MatchEntry(entries, "original"), 2);
  EXPECT_EQ(MatchEntry(entries, "1200"), 0);   // prefix of one entry only
  EXPECT_EQ(MatchEntry(entries, "120"), 1);    // number part, though a prefix of two
  EXPECT_EQ(MatchEntry(entries, "12"), -1);    // prefix of two, number of none
  EXPECT_EQ(MatchEntry(entries, "vp9"), -1);
  EXPECT_EQ(MatchEntry(entries, ""), -1);
}

TEST(CliDisplay, LineShowsPercentFramesElapsedAndTimeLeft) {
  TProgressValues values;
  values.FrameNumber = 250;
  values.CurrentDuration = 10000;
  values.TotalOutputDuration = 40000;
  // A quarter done in 5 s: 15 s left.
  EXPECT_EQ(TProgressReporter::FormatLine(values, 5000), " 25%  250 frames  elapsed 00:05  left 00:15");
  values.TotalOutputDuration = 0;
  EXPECT_EQ(TProgressReporter::FormatLine(values, 5000), "250 frames  elapsed 00:05");
  values.FrameNumber = -1;  // audio-only outputs report no frames
  values.TotalOutputDuration = 5000;
  EXPECT_EQ(TProgressReporter::FormatLine(values, 61000), "100%  elapsed 01:01  left 00:00");
  EXPECT_EQ(TProgressReporter::FormatClock(3723000), "1:02:03");
}

TEST(CliDisplay, JsonStringsAreEscaped) {
  EXPECT_EQ(TProgressReporter::JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(PlainMessage("first\n\rsecond"), "first\nsecond");
}

}  // namespace
}  // namespace kelvane::cli
