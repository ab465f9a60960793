// Test helpers over the fixture generator and its readers: make an input file
// in a test's folder, and check what an output file holds (streams, sizes,
// durations, the frame indices its pictures carry).
//
//   const std::string input = MakeFixture(temp_, "mp4-h264-aac", "in.mp4",
//       [](fixtures::TFixtureRecipe& r) { r.Seconds = 6; });
//   ... split 2.00 .. 4.00 into out ...
//   EXPECT_TRUE(FrameIndicesRun(out, 50, 50, /*slack=*/2));
//
// Threads: the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/MediaFacts.h"

namespace kelvane::test {

// Generates `name` in `dir` from a preset, adjusted by `adjust`; returns its
// path. Adds a test failure (and returns the path anyway) when it cannot.
std::string MakeFixture(const TTempDir& dir, const std::string& preset, const std::string& name,
                        const std::function<void(fixtures::TFixtureRecipe&)>& adjust = nullptr);

// The file's facts; adds a test failure when it cannot be read.
fixtures::TMediaFacts ReadFactsOrFail(const std::string& path);

// The index each decoded picture carries, in presentation order (-1 for a
// picture without a readable index); adds a test failure when it cannot decode.
std::vector<int> DecodedIndices(const std::string& path);

// "50..98, -1, 100..120": runs of consecutive indices, for failure messages.
std::string DescribeIndices(const std::vector<int>& indices);

// The pictures carry the consecutive indices first, first + 1, ... for `count`
// pictures, where the run may begin up to `slack` frames early or late and be
// up to `slack` frames longer or shorter (cuts land on the nearest usable
// frame). Every picture must be readable and none may repeat or be skipped.
testing::AssertionResult FrameIndicesRun(const std::string& path, int first, int count,
                                         int slack = 0);

// The file has exactly `video` video and `audio` audio streams.
testing::AssertionResult HasStreams(const std::string& path, int video, int audio);

// How far the sound marks of a file cut from a source with a mark every
// `every` frames of `frame_us` from frame `first` on (TickEveryFrames,
// TickFirstFrame) sit from the pictures: for each mark heard, its onset minus
// the time its frame has on the pictures' time line, which runs from the first
// picture (its time and the index it carries) in steps of `frame_us`, whatever
// frame rate the file has. A file without pictures is measured as if its first
// picture were at 0 and carried an index that is a multiple of `every`.
struct TMarkOffsets {
  std::vector<int64_t> OffsetsUs;  // one per mark, in order
  int64_t First() const { return OffsetsUs.empty() ? 0 : OffsetsUs.front(); }
  int64_t Last() const { return OffsetsUs.empty() ? 0 : OffsetsUs.back(); }
};
testing::AssertionResult MeasureMarkOffsets(const std::string& path, int every, int first,
                                            int64_t frame_us, TMarkOffsets& offsets);

}  // namespace kelvane::test
