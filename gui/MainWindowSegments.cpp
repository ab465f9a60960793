// The main window's segment list: its page beside the output settings, Add
// Segment (the button beside the marks and Insert), the File menu's Load,
// Save and Invert Segments, the list's bands on the time line, and the
// progress over a list.
#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include "gui/MainWindow.h"
#include "gui/SegmentPanel.h"
#include "gui/TimeLine.h"

namespace kelvane {
namespace {

const char kCsvFilter[] = "Segment Lists (*.csv);;All Files (*)";

}  // namespace

QWidget* TMainWindow::BuildSegmentsPage() {
  segment_panel_ = new TSegmentPanel(*segments_, *preview_);
  return segment_panel_;
}

void TMainWindow::BuildSegmentMenu(QMenu* file) {
  file->addSeparator();
  auto add = [this, file](const char* name, const char* caption, std::function<void()> run) {
    QAction* action = file->addAction(QString::fromUtf8(caption), this, std::move(run));
    action->setObjectName(QString::fromUtf8(name));
    idle_actions_.push_back(action);
  };
  add("LoadSegments1", "Load Segments...", [this] { LoadSegmentsClick(); });
  add("SaveSegments1", "Save Segments...", [this] { SaveSegmentsClick(); });
  add("InvertSegments1", "Invert Segments", [this] {
    if (segments_->InvertSegments()) page_control_->setCurrentWidget(segment_panel_);
  });
}

void TMainWindow::AddSegmentKey(QMenu* playback) {
  // Insert: free in the window (I and O mark, Delete removes in the list) and
  // left alone by the read-only fields.
  QAction* action = playback->addAction(QStringLiteral("Add Segment"));
  action->setObjectName(QStringLiteral("ActionAddSegment"));
  action->setShortcut(QKeySequence(Qt::Key_Insert));
  action->setShortcutContext(Qt::WindowShortcut);
  connect(action, &QAction::triggered, this, [this] { AddSegmentClick(); });
  addAction(action);
  idle_actions_.push_back(action);
}

void TMainWindow::AddSegmentClick() {
  if (model_.Splitting) return;
  if (segments_->AddSegment()) page_control_->setCurrentWidget(segment_panel_);
}

void TMainWindow::LoadSegmentsClick() {
  if (model_.Splitting) return;
  const QString folder = QFileInfo(QString::fromStdString(model_.EditInputFilename)).absolutePath();
  const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load Segments"), folder,
                                                    QString::fromUtf8(kCsvFilter));
  if (path.isEmpty()) return;
  if (segments_->LoadSegments(path.toStdString())) page_control_->setCurrentWidget(segment_panel_);
}

void TMainWindow::SaveSegmentsClick() {
  if (model_.Splitting) return;
  // Beside the input, named after it.
  const QFileInfo input(QString::fromStdString(model_.EditInputFilename));
  const QString suggested = model_.EditInputFilename.empty()
                                ? QStringLiteral("segments.csv")
                                : input.absolutePath() + QStringLiteral("/") +
                                      input.completeBaseName() + QStringLiteral(".csv");
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Segments"),
                                                    suggested, QString::fromUtf8(kCsvFilter));
  if (!path.isEmpty()) segments_->SaveSegments(path.toStdString());
}

void TMainWindow::RefreshSegments() {
  segment_panel_->Refresh(model_.Splitting);
  time_line_->SetSegments(segments_->Parts(), segments_->Selected());
  // A list that runs says on the bar which of its segments is being written.
  const TSplitProgress& progress = model_.Session().LastProgress();
  const bool list_runs = model_.Splitting && progress.SegmentCount > 0;
  if (list_runs) {
    progress_bar_->setFormat(
        QStringLiteral("Segment %1 of %2").arg(progress.Segment).arg(progress.SegmentCount));
  }
  progress_bar_->setTextVisible(list_runs);
}

}  // namespace kelvane
