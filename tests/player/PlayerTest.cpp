// The player as the window uses it: open, play, pause, resume, seek, end,
// stop, reopen, destroy; sound-only files and files it cannot play.
#include <clocale>
#include <cstdlib>
#include <filesystem>

#include "binding/FFmpegLogger.h"
#include "tests/player/PlayerTestSupport.h"

namespace kelvane::test {
namespace {

TEST_F(TPlayerTest, PlaysPausesSeeksAndEnds) {
  const std::string clip = MakeFixture(temp_, "mp4-h264-aac", "clip.mp4");
  TRecordingDisplay display(200, 100);
  TFFPlayer player;
  TPlayerRecorder recorder(player);
  ASSERT_TRUE(player.Open(clip, &display)) << player.LastErrMsg();
  EXPECT_EQ(recorder.Duration, 2000000);
  EXPECT_EQ(recorder.FrameWidth, 320);
  EXPECT_EQ(recorder.FrameHeight, 240);
  EXPECT_EQ(player.ScreenWidth(), 200);  // left at 0 by the handler: the client size
  EXPECT_EQ(player.Probe().VideoStreamCount(), 1);

  // Positions advance while playing; 320x240 drawn into 200x100 keeps 4:3.
  ASSERT_TRUE(WaitFor([&] { return recorder.LastPosition() > 300000; }));
  EXPECT_EQ(recorder.States().front(), psPlay);
  TDisplayFrame frame = display.LastPicture();
  EXPECT_EQ(frame.Rect.Width, 132);
  EXPECT_EQ(frame.Rect.Height, 100);
  EXPECT_EQ(frame.Rect.Left, 34);

  // Paused: no position moves; TogglePause resumes.
  player.Pause();
  player.Pause();  // nothing more
  const size_t reports = recorder.Positions().size();
  WaitFor([] { return false; }, 300ms);
  EXPECT_LE(recorder.Positions().size(), reports + 1);
  player.TogglePause();
  EXPECT_EQ(recorder.Count(psPause), 1);
  EXPECT_EQ(recorder.Count(psResume), 1);
  const int64_t resumed_at = recorder.LastPosition();
  ASSERT_TRUE(WaitFor([&] { return recorder.LastPosition() > resumed_at + 100000; }));

  // Filling the area redraws the picture; the same value again does not.
  player.SetAspectRatio(-1);
  ASSERT_TRUE(WaitFor([&] { return display.LastPicture().Rect.Width == 200; }));
  EXPECT_EQ(display.LastPicture().Rect.Height, 100);

  // Beyond the end lands on the end, which is reported again and again.
  player.Seek(60000000);
  ASSERT_TRUE(WaitFor(
      [&] { return recorder.Count(psEnd) >= 3 && recorder.LastPosition() == 2000000; }));
  EXPECT_EQ(FrameIndexOf(player.CurrentFrame()), 49);
  ExpectQuickStop(player);
  EXPECT_EQ(recorder.States().back(), psStop);
  int64_t position = 0;
  EXPECT_EQ(player.CaptureFrame(position).Width, 0);
  EXPECT_EQ(position, -1);
}

// A phone clip stored on its side (320x240, a display matrix turning it 90
// degrees clockwise): the player reports, paints and captures it upright.
TEST_F(TPlayerTest, ARotatedClipIsShownAndCapturedUpright) {
  const std::string clip = MakeFixture(temp_, "mp4-h264-aac", "phone.mp4", [](auto& recipe) {
    recipe.Width = 240;
    recipe.Height = 320;
    recipe.Rotation = 90;
    recipe.Seconds = 1.0;
  });
  TRecordingDisplay display(200, 200);
  TFFPlayer player;
  TPlayerRecorder recorder(player);
  ASSERT_TRUE(player.Open(clip, &display)) << player.LastErrMsg();
  EXPECT_EQ(recorder.FrameWidth, 240);
  EXPECT_EQ(recorder.FrameHeight, 320);
  player.Pause();
  ASSERT_TRUE(WaitFor([&] { return display.PictureCount() > 0; }));
  // 3:4 in a 200x200 area: 150x200, centred.
  const TDisplayFrame frame = display.LastPicture();
  EXPECT_EQ(frame.Rect.Width, 150);
  EXPECT_EQ(frame.Rect.Height, 200);
  EXPECT_EQ(frame.Rect.Left, 25);
  ASSERT_TRUE(frame.Image);
  EXPECT_GE(FrameIndexOf(*frame.Image), 0);
  int64_t position = 0;
  const TBitmap& captured = player.CaptureFrame(position);
  EXPECT_EQ(captured.Width, 240);
  EXPECT_EQ(captured.Height, 320);
  EXPECT_GE(FrameIndexOf(captured), 0);
  ExpectQuickStop(player);
}

TEST_F(TPlayerTest, ReopeningEndsTheFirstPlaybackAndDestroyingIsSilent) {
  const std::string first = MakeFixture(temp_, "mp4-h264-aac", "first.mp4");
  const std::string second = MakeFixture(temp_, "mkv-h264-vorbis", "second.mkv",
                                         [](auto& r) { r.Seconds = 3; });
  auto player = std::make_unique<TFFPlayer>();
  TPlayerRecorder recorder(*player);
  TRecordingDisplay display(320, 240);
  ASSERT_TRUE(player->Open(first, &display));
  ASSERT_TRUE(WaitFor([&] { return recorder.LastPosition() > 100000; }));
  ASSERT_TRUE(player->Open(second, &display));
  // The first playback was over (psStop) before the second began.
  const std::vector<TPlayState> states = recorder.States();
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states[0], psPlay);
  EXPECT_EQ(states[1], psStop);
  EXPECT_EQ(recorder.Duration, ReadFactsOrFail(second).DurationUs);
  // Matroska's clip is 320x180.
  EXPECT_TRUE(WaitFor([&] { return display.LastPicture().Rect.Height == 180; }));
  const size_t reports = recorder.Positions().size();
  ASSERT_TRUE(WaitFor([&] { return recorder.Positions().size() > reports + 3; }));

  // Nothing reaches the owner once its player is being destroyed.
  std::atomic<bool> destroying{false};
  std::atomic<int> late_events{0};
  player->OnPosition = [&](int64_t) { late_events += destroying ? 1 : 0; };
  player->OnState = [&](TPlayState) { late_events += destroying ? 1 : 0; };
  destroying = true;
  player.reset();
  EXPECT_EQ(late_events, 0);
}

TEST_F(TPlayerTest, SoundOnlyFileShowsItsWaveformAndFollowsTheSoundClock) {
  const std::string song = MakeFixture(temp_, "m4a-aac", "song.m4a");
  TRecordingDisplay display(300, 200);
  TFFPlayer player;
  TPlayerRecorder recorder(player);
  ASSERT_TRUE(player.Open(song, &display)) << player.LastErrMsg();
  EXPECT_EQ(recorder.FrameWidth, -1);
  ASSERT_TRUE(WaitFor([&] { return recorder.LastPosition() > 500000; }));
  EXPECT_GT(display.WaveformCount(), 5);
  EXPECT_EQ(display.PictureCount(), 0);
  // Two channels of a steady tone: two bands of white traces on black.
  const TDisplayFrame wave = display.LastWaveform();
  ASSERT_TRUE(wave.Image);
  EXPECT_EQ(wave.Image->Width, 300);
  int white_top = 0;
  int white_bottom = 0;
  for (int y = 0; y < wave.Image->Height; ++y) {
    for (int x = 0; x < wave.Image->Width; ++x) {
      (y < 100 ? white_top : white_bottom) += wave.Image->ScanLine(y)[3 * x] == 255;
    }
  }
  EXPECT_GT(white_top, 600);
  EXPECT_GT(white_bottom, 600);
  EXPECT_LT(white_top + white_bottom, 300 * 200 / 4);
  // The end is the file's duration, reported from the sound clock.
  player.Seek(60000000);
  ASSERT_TRUE(WaitFor([&] { return recorder.Count(psEnd) > 0; }));
  ASSERT_TRUE(WaitFor([&] { return recorder.LastPosition() == recorder.Duration; }));
}

TEST_F(TPlayerTest, OpensWhatItCanPlayAndSaysWhyNot) {
  TRecordingDisplay display(160, 120);
  TFFPlayer player;
  // A subtitle track as the first stream: the video plays.
  const std::string subtitled = MakeFixture(temp_, "mkv-h264-vorbis", "subtitled.mkv", [](auto& r) {
    r.Subtitles = true;
    r.SubtitlesFirst = true;
  });
  ASSERT_EQ(ReadFactsOrFail(subtitled).Streams[0].Type, AVMEDIA_TYPE_SUBTITLE);
  ASSERT_TRUE(player.Open(subtitled, &display)) << player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] { return display.PictureCount() > 2; }));

  // What a hook draws on the pictures is what is shown and captured.
  std::atomic<int> hooked{0};
  player.OnHook = [&hooked](TBitmap* bitmap, int64_t) {
    uint8_t* corner = bitmap->ScanLine(0);
    corner[0] = 1;
    corner[1] = 2;
    corner[2] = 3;
    ++hooked;
  };
  player.SetHook(true);
  ASSERT_TRUE(WaitFor([&] { return hooked > 2; }));
  const TBitmap& frame = player.CurrentFrame();
  EXPECT_EQ(frame.ScanLine(0)[0] + frame.ScanLine(0)[1] + frame.ScanLine(0)[2], 6);
  player.SetHook(false);

  // Without a target the player shows the pictures in a window of its own.
  ASSERT_TRUE(player.Open(subtitled, nullptr)) << player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] { return player.ShownFrame().PTS > 200000; }));

  // Nothing playable.
  const std::string song = MakeFixture(temp_, "m4a-aac", "song.m4a");
  player.DisableAudio = true;
  EXPECT_FALSE(player.Open(song, &display));
  EXPECT_EQ(player.LastErrMsg(), song + ": could not open codecs, no stream to play.");
  EXPECT_FALSE(player.Active());
  player.DisableAudio = false;
  EXPECT_FALSE(player.Open(temp_.File("missing.mp4"), &display));
  EXPECT_EQ(player.LastErrMsg(), temp_.File("missing.mp4") + ": no such file or directory");

  // A name the C locale cannot carry goes through the unicode protocol.
  const std::string clip = MakeFixture(temp_, "mp4-h264-aac", "clip.mp4");
  const std::string odd_name = temp_.File("Clip \xc3\xa9t\xc3\xa9 \xe5\xa4\x8f.mp4");
  std::filesystem::rename(clip, odd_name);
  setlocale(LC_ALL, "C");
  const bool opened = player.Open(odd_name, &display);
  setlocale(LC_ALL, "");
  ASSERT_TRUE(opened) << player.LastErrMsg();
  const int shown = display.PictureCount();
  ASSERT_TRUE(WaitFor([&] { return display.PictureCount() > shown + 2; }));

  // No sound device: the pictures keep their own time.
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  std::vector<std::string> log;
  GetLogger().OnLog = [&log](const void*, uint32_t, TLogLevel, const std::string& text) {
    log.push_back(text);
  };
  const bool played = player.Open(odd_name, &display);
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ASSERT_TRUE(played);
  ASSERT_TRUE(WaitFor([&] { return player.Position() > 500000; }));
  GetLogger().OnLog = nullptr;
  EXPECT_NE(std::find_if(log.begin(), log.end(),
                         [](const std::string& line) {
                           return line.rfind("SDL_OpenAudio() failed: ", 0) == 0;
                         }),
            log.end());
  ExpectQuickStop(player);
}

}  // namespace
}  // namespace kelvane::test
