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

}  // namespace kelvane::test
