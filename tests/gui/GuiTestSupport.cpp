#include "tests/gui/GuiTestSupport.h"

#include <QThread>

#include "tools/fixtures/FixtureGenerator.h"

namespace kelvane::test {

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

void Spend(std::chrono::milliseconds time) { WaitFor([] { return false; }, time); }

void ClearStoredSettings() {
  QSettings settings(QStringLiteral("Orvath"), QStringLiteral("Kelvane"));
  settings.clear();
  settings.sync();
}

void TWindowTest::SetUp() {
  TMediaTest::SetUp();
  ClearStoredSettings();
  OpenWindow();
}

void TWindowTest::TearDown() {
  window_.reset();
  store_.reset();
  ClearStoredSettings();
}

void TWindowTest::OpenWindow() {
  window_.reset();
  store_ = std::make_unique<TQtSettingsStore>();
  window_ = std::make_unique<TMainWindow>(sink_, *store_, KELVANE_BINARY_DIR);
  window_->show();
}

void TWindowTest::Click(const char* name) { Control<QPushButton>(name)->click(); }

std::string TWindowTest::MakeClip(double seconds, const std::string& name) {
  fixtures::TFixtureRecipe recipe;
  recipe.Seconds = seconds;
  recipe.Width = 640;
  recipe.Height = 480;
  const std::string path = temp_.File(name);
  std::string error;
  EXPECT_TRUE(fixtures::GenerateFixture(recipe, path, &error)) << error;
  return path;
}

}  // namespace kelvane::test
