// The main window's time-line commands (zoom, snapping to key frames, looping
// the marked part), the File menu's recent files, and the stored settings
// that go with them and with the window's place and size.
#include <QAction>
#include <QFileInfo>
#include <QMenu>

#include "gui/MainWindow.h"
#include "gui/TimeLine.h"

namespace kelvane {

void TMainWindow::AddTimeLineActions(QMenu* menu) {
  menu->addSeparator();
  auto add = [this, menu](const char* name, const char* caption, QList<QKeySequence> keys,
                          std::function<void()> run) {
    QAction* action = menu->addAction(QString::fromUtf8(caption));
    action->setObjectName(QString::fromUtf8(name));
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, std::move(run));
    addAction(action);
    return action;
  };
  add("ActionZoomIn", "Zoom In", {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)},
      [this] { time_line_->ZoomAroundPosition(2.0); });
  add("ActionZoomOut", "Zoom Out", {QKeySequence(Qt::Key_Minus)},
      [this] { time_line_->ZoomAroundPosition(0.5); });
  add("ActionWholeFile", "Whole File", {QKeySequence(Qt::Key_0)},
      [this] { time_line_->ZoomAroundPosition(0); });
  snap_action_ = add("ActionSnapToKeyFrames", "Snap to Key Frames", {},
                     [this] { preview_->SnapToKeyFrames = snap_action_->isChecked(); });
  snap_action_->setCheckable(true);
  loop_action_ = add("ActionLoopSegment", "Loop Marked Part", {},
                     [this] { preview_->LoopSegment = loop_action_->isChecked(); });
  loop_action_->setCheckable(true);
}

void TMainWindow::BuildRecentMenu(QMenu* file) {
  recent_menu_ = file->addMenu(QStringLiteral("Recent Files"));
  recent_menu_->setObjectName(QStringLiteral("RecentFiles1"));
  RefreshRecentMenu();
}

void TMainWindow::RefreshRecentMenu() {
  // The old items go later: this may run inside one of them being triggered.
  for (QAction* old : recent_menu_->actions()) {
    recent_menu_->removeAction(old);
    old->deleteLater();
  }
  int number = 1;
  for (const TRecentFile& item : recent_.Items()) {
    const QString path = QString::fromStdString(item.Path);
    QString caption = QStringLiteral("&%1 %2").arg(number++).arg(QFileInfo(path).fileName());
    if (item.Start != "0.00" || item.End != "0.00") {
      caption += QStringLiteral("  (%1 - %2)")
                     .arg(QString::fromStdString(item.Start), QString::fromStdString(item.End));
    }
    QAction* action = recent_menu_->addAction(caption);
    action->setToolTip(path);
    action->setEnabled(!model_.Splitting);
    connect(action, &QAction::triggered, this, [this, item] { OpenRecent(item); });
  }
  recent_menu_->setEnabled(!recent_.Items().empty());
}

void TMainWindow::OpenRecent(const TRecentFile& file) {
  if (model_.Splitting) return;
  if (!QFileInfo::exists(QString::fromStdString(file.Path))) {
    messages_.ShowMessage("Information", file.Path + ": the file is no longer there.");
    return;
  }
  OpenFile(QString::fromStdString(file.Path));
  if (model_.EditInputFilename != file.Path) return;
  // Its marks come back as they were (exact where they were set from a picture).
  model_.StartMarkText = file.Start;
  model_.EndMarkText = file.End;
  model_.ExactStart = {file.Start, file.ExactStart};
  model_.ExactEnd = {file.End, file.ExactEnd};
  RememberCurrentFile();
  model_.Changed();
}

void TMainWindow::RememberCurrentFile() {
  // Only a file that opened (its scan started) is remembered.
  if (model_.EditInputFilename.empty() || preview_->Scan().File() != model_.EditInputFilename)
    return;
  TRecentFile file;
  file.Path = model_.EditInputFilename;
  file.Start = model_.StartMarkText;
  file.End = model_.EndMarkText;
  file.ExactStart = model_.ExactStart.Text == file.Start ? model_.ExactStart.Time : -1;
  file.ExactEnd = model_.ExactEnd.Text == file.End ? model_.ExactEnd.Time : -1;
  recent_.Add(file);
  segments_->Remember(file.Path);
  RefreshRecentMenu();
}

void TMainWindow::LoadViewSettings() {
  // A first run stores them all at once, as the model does its own; a size
  // of 0 x 0 is none yet (the window opens centred at its own size).
  if (!settings_.ReadBool("SnapToKeyFrames")) {
    recent_.Save(settings_);
    settings_.WriteBool("SnapToKeyFrames", false);
    settings_.WriteBool("LoopMarkedPart", false);
    settings_.WriteInteger("FormWidth", 0);
    settings_.WriteInteger("FormHeight", 0);
    segments_->Save(settings_, {});
  }
  recent_.Load(settings_);
  segments_->Load(settings_);
  RefreshRecentMenu();
  preview_->SnapToKeyFrames = settings_.ReadBool("SnapToKeyFrames").value_or(false);
  preview_->LoopSegment = settings_.ReadBool("LoopMarkedPart").value_or(false);
  snap_action_->setChecked(preview_->SnapToKeyFrames);
  loop_action_->setChecked(preview_->LoopSegment);
  const auto width = settings_.ReadInteger("FormWidth");
  const auto height = settings_.ReadInteger("FormHeight");
  const auto left = settings_.ReadInteger("FormLeft");
  const auto top = settings_.ReadInteger("FormTop");
  stored_geometry_ = QRect();
  if (width && height && left && top && *width > 0 && *height > 0) {
    stored_geometry_ = QRect(*left, *top, *width, *height);
  }
}

void TMainWindow::SaveViewSettings() {
  recent_.Save(settings_);
  std::vector<std::string> paths;
  for (const TRecentFile& file : recent_.Items()) paths.push_back(file.Path);
  segments_->Save(settings_, paths);
  settings_.WriteBool("SnapToKeyFrames", preview_->SnapToKeyFrames);
  settings_.WriteBool("LoopMarkedPart", preview_->LoopSegment);
  // The size of the window as it is shown normally (not maximised or full screen).
  const QRect normal = isMaximized() || isFullScreen() ? normalGeometry() : geometry();
  settings_.WriteInteger("FormWidth", normal.width());
  settings_.WriteInteger("FormHeight", normal.height());
}

}  // namespace kelvane
