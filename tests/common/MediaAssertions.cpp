#include "tests/common/MediaAssertions.h"

#include <cstdlib>
#include <sstream>

namespace kelvane::test {

std::string MakeFixture(const TTempDir& dir, const std::string& preset, const std::string& name,
                        const std::function<void(fixtures::TFixtureRecipe&)>& adjust) {
  fixtures::TFixtureRecipe recipe;
  if (!fixtures::FixturePreset(preset, recipe)) {
    ADD_FAILURE() << "no fixture preset named " << preset;
  }
  if (adjust) adjust(recipe);
  const std::string path = dir.File(name);
  std::string error;
  if (!fixtures::GenerateFixture(recipe, path, &error)) ADD_FAILURE() << error;
  return path;
}

fixtures::TMediaFacts ReadFactsOrFail(const std::string& path) {
  fixtures::TMediaFacts facts;
  std::string error;
  if (!fixtures::ReadMediaFacts(path, facts, &error)) ADD_FAILURE() << error;
  return facts;
}

std::vector<int> DecodedIndices(const std::string& path) {
  std::vector<fixtures::TDecodedFrame> frames;
  std::string error;
  if (!fixtures::DecodeVideoFrames(path, frames, &error)) ADD_FAILURE() << error;
  std::vector<int> indices;
  indices.reserve(frames.size());
  for (const fixtures::TDecodedFrame& frame : frames) indices.push_back(frame.Index);
  return indices;
}

std::string DescribeIndices(const std::vector<int>& indices) {
  std::ostringstream out;
  for (size_t i = 0; i < indices.size();) {
    size_t j = i;
    while (j + 1 < indices.size() && indices[i] >= 0 && indices[j + 1] == indices[j] + 1) ++j;
    if (i > 0) out << ", ";
    out << indices[i];
    if (j > i) out << ".." << indices[j];
    i = j + 1;
  }
  if (indices.empty()) out << "(no pictures)";
  return out.str();
}

testing::AssertionResult FrameIndicesRun(const std::string& path, int first, int count, int slack) {
  const std::vector<int> indices = DecodedIndices(path);
  auto failure = [&](const std::string& why) {
    return testing::AssertionFailure()
           << path << ": " << why << "; expected " << first << ".." << first + count - 1
           << " (slack " << slack << "), found " << DescribeIndices(indices);
  };
  if (indices.empty()) return failure("no pictures");
  for (size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] < 0) return failure("picture " + std::to_string(i) + " carries no index");
    if (i > 0 && indices[i] != indices[i - 1] + 1) {
      return failure("the run breaks after picture " + std::to_string(i - 1));
    }
  }
  if (std::abs(indices.front() - first) > slack) return failure("the run starts elsewhere");
  if (std::abs(static_cast<int>(indices.size()) - count) > slack) {
    return failure("the run has " + std::to_string(indices.size()) + " pictures");
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult HasStreams(const std::string& path, int video, int audio) {
  fixtures::TMediaFacts facts;
  std::string error;
  if (!fixtures::ReadMediaFacts(path, facts, &error)) return testing::AssertionFailure() << error;
  const int found_video = facts.CountOf(AVMEDIA_TYPE_VIDEO);
  const int found_audio = facts.CountOf(AVMEDIA_TYPE_AUDIO);
  if (found_video == video && found_audio == audio) return testing::AssertionSuccess();
  return testing::AssertionFailure() << path << ": " << found_video << " video and " << found_audio
                                     << " audio streams, expected " << video << " and " << audio;
}

testing::AssertionResult MeasureMarkOffsets(const std::string& path, int every, int first,
                                            int64_t frame_us, TMarkOffsets& offsets) {
  offsets = TMarkOffsets{};
  std::vector<int64_t> onsets;
  std::vector<fixtures::TDecodedFrame> pictures;
  std::string error;
  if (!fixtures::DecodeSoundMarks(path, onsets, &error)) {
    return testing::AssertionFailure() << error;
  }
  if (onsets.empty()) return testing::AssertionFailure() << path << ": no sound marks heard";
  fixtures::TMediaFacts facts;
  if (fixtures::ReadMediaFacts(path, facts) && facts.FirstOf(AVMEDIA_TYPE_VIDEO) != nullptr &&
      !fixtures::DecodeVideoFrames(path, pictures, &error)) {
    return testing::AssertionFailure() << error;
  }
  int64_t origin_us = 0;  // where index `origin_index` lies on the time line
  int origin_index = 0;
  if (!pictures.empty()) {
    const fixtures::TDecodedFrame& first = pictures.front();
    if (first.Index < 0) return testing::AssertionFailure() << path << ": first picture unreadable";
    origin_us = first.PtsUs;
    origin_index = first.Index;
  }
  const int64_t period = every * frame_us;
  for (int64_t onset : onsets) {
    // Time of the mark nearest the onset.
    const int64_t first_mark =
        origin_us + (((first - origin_index) % every + every) % every) * frame_us;
    const int64_t steps = (onset - first_mark + period / 2 + period * 1000) / period - 1000;
    offsets.OffsetsUs.push_back(onset - (first_mark + steps * period));
  }
  return testing::AssertionSuccess();
}

}  // namespace kelvane::test
