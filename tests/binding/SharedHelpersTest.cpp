// The small helpers every layer shares: the one trim and lower case, the weak
// owner that posted work asks, the thread an object belongs to.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "binding/MainThread.h"
#include "binding/Text.h"
#include "binding/ThreadOwner.h"
#include "binding/WeakOwner.h"

namespace kelvane {
namespace {

TEST(TextTest, TrimTakesSpacesAndControlCharactersOffBothEndsOnly) {
  EXPECT_EQ(Trim("  \t1200 Kbps\r\n"), "1200 Kbps");
  EXPECT_EQ(Trim(std::string("\x01\v x \f", 6)), "x");
  EXPECT_EQ(Trim(" \n\t "), "");
  EXPECT_EQ(Trim("caf\xC3\xA9 "), "caf\xC3\xA9");  // bytes above 127 are text
  EXPECT_EQ(LowerCase("MP4 Video \xC3\x89"), "mp4 video \xC3\x89");
}

struct TPosted {
  TOwnerLink<TPosted> link{this};
  int done = 0;
};

TEST(WeakOwnerTest, PostedWorkFindsItsOwnerOnlyWhileItLives) {
  auto owner = std::make_unique<TPosted>();
  TWeakOwner<TPosted> early = owner->link.Weak();
  TWeakOwner<TPosted> from_worker;
  std::thread([&] { from_worker = owner->link.Weak(); }).join();
  PostToMainThread([from_worker] {
    if (TPosted* self = from_worker.Get()) ++self->done;
  });
  PumpMessages();
  EXPECT_EQ(owner->done, 1);
  EXPECT_EQ(early.Get(), owner.get());
  owner.reset();
  EXPECT_EQ(early.Get(), nullptr);
  EXPECT_EQ(from_worker.Get(), nullptr);
  EXPECT_EQ(TWeakOwner<TPosted>().Get(), nullptr);

  TPosted cut;
  TWeakOwner<TPosted> handle = cut.link.Weak();
  cut.link.Cut();
  EXPECT_EQ(handle.Get(), nullptr);
  EXPECT_EQ(cut.link.Weak().Get(), nullptr);
}

TEST(ThreadOwnerTest, TheThreadThatMadeItOwnsIt) {
  TThreadOwner owner;
  owner.Check();
  EXPECT_TRUE(owner.OnOwnerThread());
  bool on_worker = true;
  std::thread([&] { on_worker = owner.OnOwnerThread(); }).join();
  EXPECT_FALSE(on_worker);
}

}  // namespace
}  // namespace kelvane
