// Check benchmark: the time the check of a split's file takes against the time
// of the split itself. A 10 s segment of a generated 1280x720 H.264 + AAC clip
// (key frames 10 s apart unless asked otherwise, the start mark 2.34 s after
// one, between two pictures) is split as a user splits it, through the
// window's split session with the "MP4 - MPEG4 Video (*.mp4)" preset and
// default threads, without the check and with it, in turns. Reported, as
// medians: the time the check takes after the split (the aim: under 5% of the
// split), the time its reading of the source takes beside the split, and the
// difference between the two kinds of split (noisy on a busy machine).
//
//   CheckBench [folder [frames]]   the clip is made in (and reused from)
//                                  `folder`, by default the system's temporary
//                                  folder, with a key frame every `frames`
//                                  frames (default 250)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/MainWindowModel.h"
#include "binding/FFmpegLoader.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "tools/fixtures/FixtureGenerator.h"

using namespace kelvane;

namespace {

constexpr int kRuns = 7;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// No message boxes in a benchmark; they go to the terminal.
class TPrintedMessages : public TMessageSink {
 public:
  void ShowMessage(const std::string&, const std::string& text) override {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    ShowMessage(caption, text);
  }
  bool Confirm(const std::string&, const std::string&) override { return true; }
  std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
};

// Splits 12.34 s .. 22.34 s of `clip` into `folder`; the seconds it took, or
// a negative number when it failed.
double Split(TMainWindowModel& model, const std::string& clip, const std::string& folder,
             bool check, TSplitEnd& end) {
  TSplitJob job = model.MakeSplitJob();
  job.StartMark = "12.34";
  job.EndMark = "22.34";
  job.OutputFolder = folder;
  job.Overwrite = true;
  TSplitSession& session = model.Session();
  session.CheckOutput = check;
  const auto began = std::chrono::steady_clock::now();
  std::string message;
  if (!session.Start(job, message) || !session.WaitForEnd(std::chrono::minutes(10))) {
    std::fprintf(stderr, "the split of %s did not run: %s\n", clip.c_str(), message.c_str());
    return -1;
  }
  end = *session.LastEnd();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  if (!GetLoader().LoadLibraries(EngineLibraries)) {
    std::fprintf(stderr, "cannot load the libraries: %s\n", GetLoader().LastError().c_str());
    return 1;
  }
  const std::filesystem::path folder =
      argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const int gop = argc > 2 ? std::atoi(argv[2]) : 250;
  if (gop <= 0) return 1;
  const std::string clip =
      (folder / ("kelvane-check-bench-720p-" + std::to_string(gop) + ".mp4")).string();
  if (!std::filesystem::exists(clip)) {
    fixtures::TFixtureRecipe recipe;
    recipe.Width = 1280;
    recipe.Height = 720;
    recipe.Seconds = 30;
    recipe.GopSize = gop;
    std::string error;
    if (!fixtures::GenerateFixture(recipe, clip, &error)) {
      std::fprintf(stderr, "cannot make the clip: %s\n", error.c_str());
      return 1;
    }
  }
  TPrintedMessages messages;
  TMainWindowModel model(messages);
  model.FormCreate(ProgramFolder());
  model.ComboOutputFormat.Select(model.ComboOutputFormat.IndexOf("MP4 - MPEG4 Video (*.mp4)"));
  model.ComboOutputFormatChange();
  if (!model.AddVideoFile(clip)) return 1;
  const std::string out = (folder / "kelvane-check-bench-out").string();
  std::filesystem::create_directories(out);

  // The first split warms the caches and is not counted; then splits without
  // and with the check take turns, and the medians are reported.
  TSplitEnd plain, checked;
  Split(model, clip, out, false, plain);
  std::vector<double> splits, with_checks, after, beside;
  for (int run = 0; run < kRuns; ++run) {
    splits.push_back(Split(model, clip, out, false, plain));
    with_checks.push_back(Split(model, clip, out, true, checked));
    if (splits.back() <= 0 || with_checks.back() <= 0 || !checked.Check) return 1;
    after.push_back(checked.Check->CheckMs / 1000.0);
    beside.push_back(checked.Check->SourceMs / 1000.0);
  }
  const double split = Median(splits), with_check = Median(with_checks);
  const TSplitCheck& check = *checked.Check;
  std::printf("split of 10 s of 1280x720: %.2f s (median of %d)\n", split, kRuns);
  std::printf("split and check:           %.2f s\n", with_check);
  std::printf("check after the split:     %.3f s (%.1f%% of the split)\n", Median(after),
              100.0 * Median(after) / split);
  std::printf("source read beside it:     %.3f s (%.1f%% of the split)\n", Median(beside),
              100.0 * Median(beside) / split);
  std::printf("added to the split:        %+.3f s (%+.1f%%)\n", with_check - split,
              100.0 * (with_check - split) / split);
  std::printf("check found:               %s\n", check.Summary().c_str());
  return check.Matched() ? 0 : 2;
}
