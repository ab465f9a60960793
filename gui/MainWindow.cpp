#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <algorithm>

#include "app/TextUtils.h"
#include "gui/AboutDialog.h"
#include "gui/PlayPanel.h"
#include "gui/PreferencesDialog.h"
#include "gui/SegmentPanel.h"
#include "gui/ThumbnailView.h"
#include "gui/TimeEditDialog.h"
#include "gui/TimeLine.h"
#include "gui/TimePanel.h"
#include "gui/TrackBar.h"

// The black picture of the thumbnails lives in the window's library.
static void InitKelvaneResources() { Q_INIT_RESOURCE(kelvane); }

namespace kelvane {
namespace {

// Pairs of description and patterns; the first, every container the libraries
// read, is shown first.
const char kOpenFilter[] =
    "All Supported Files (*.avi *.mpeg *.mpg *.wmv *.asf *.mov *.qt *.3gp *.3g2 *.mp4 *.rm "
    "*.rmvb *.vob *.dat *.ac3 *.swf *.flv *.mkv *.webm *.ts *.m2ts *.mts *.m2t *.m4v *.ogv "
    "*.ogg *.mxf *.f4v *.dv *.nut *.y4m *.m1v *.m2v *.mv2 *.mpa *.aac *.m4a);;"
    "3GPP Files (*.3gp);;3GPP2 Files (*.3g2);;"
    "AAC Files (*.aac);;AC3 Files (*.ac3);;AVI Files (*.avi);;DVD VOB Files (*.vob);;"
    "Macromedia Flash Files (*.flv *.swf);;"
    "MPEG Files (*.mpeg *.mpg *.mpa *.m1v *.mv2);;MPEG-4 Files (*.mp4);;"
    "MPEG-4 Audio Files (*.m4a *.mp4);;RealMedia Files (*.rm *.rmvb);;"
    "QuickTime Files (*.mov *.qt);;VCD DAT Files (*.dat);;Windows Media Files (*.wmv *.asf);;"
    "Matroska Files (*.mkv);;WebM Files (*.webm);;"
    "MPEG-TS and Camcorder Files (*.ts *.m2ts *.mts *.m2t);;MPEG-4 Video Files (*.m4v);;"
    "Ogg Video Files (*.ogv *.ogg);;MXF Files (*.mxf);;Flash MP4 Files (*.f4v);;DV Files (*.dv);;"
    "NUT Files (*.nut);;YUV4MPEG Files (*.y4m)";

const int kClientWidth = 857;
const int kClientHeight = 541;

// A mark's panel text in µs; -1 when it is not a time.
int64_t MarkTime(const std::string& text) {
  const std::optional<double> seconds = ParseDecimal(text);
  if (!seconds || *seconds < 0) return -1;
  return static_cast<int64_t>(*seconds * 1000000.0 + 0.5);
}

}  // namespace

TMainWindow::TMainWindow(TMessageSink& messages, TSettingsStore& settings,
                         const std::string& program_folder)
    : messages_(messages), settings_(settings), model_(messages) {
  InitKelvaneResources();
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Kelvane"));
  setAcceptDrops(true);
  preview_ = std::make_unique<TPreviewControl>(model_, messages_);
  segments_ = std::make_unique<TSegmentControl>(model_, *preview_, messages_);

  // Below 857 x 541 the controls keep their size and the area scrolls.
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName(QStringLiteral("ScrollClient"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  auto* client = new QWidget;
  client->setObjectName(QStringLiteral("ClientArea"));
  client_ = client;
  preferences_ = new TPreferencesDialog(model_, this);
  time_edit_ = new TTimeEditDialog(model_, this);
  about_ = new TAboutDialog(this);
  BuildMenu();
  BuildPlayerSide(client);
  BuildOutputSide(client);
  BuildStatusBar();
  // The client area (controls and status bar) is 857 x 541 at least; the menu
  // bar sits above it.
  client->setMinimumSize(kClientWidth, kClientHeight - statusBar()->sizeHint().height());
  KeepLayout(client);
  scroll->setWidget(client);
  setCentralWidget(scroll);

  // Hints stay up for 30 seconds.
  for (QWidget* widget : findChildren<QWidget*>()) {
    if (!widget->toolTip().isEmpty()) widget->setToolTipDuration(30000);
  }
  timer_play_.setObjectName(QStringLiteral("TimerPlay"));
  timer_play_.setInterval(100);
  end_message_timer_.setObjectName(QStringLiteral("Timer1"));
  end_message_timer_.setInterval(100);
  Connect();

  model_.FormCreate(program_folder);
  preview_->SetDisplayTarget(panel_play_, panel_play_->width(), panel_play_->height());
  model_.LoadSettings(settings_);  // as the About box is made
  LoadViewSettings();
  preferences_->Refresh();
  Refresh();
  resize(kClientWidth, menu_bar_->sizeHint().height() + kClientHeight);
  if (stored_geometry_.isValid()) resize(stored_geometry_.size());
}

TMainWindow::~TMainWindow() {
  model_.OnStateChange = nullptr;
  model_.Converter().OnPreviewBitmap = nullptr;
  delete segment_panel_;  // before the segment control it refers to
  // The player stops before the panel it draws into goes.
  preview_.reset();
}

void TMainWindow::BindList(TListModel& list, QComboBox* combo) {
  auto sync = [&list, combo] {
    const QSignalBlocker block(combo);
    QStringList items;
    for (const std::string& item : list.Items()) items << QString::fromStdString(item);
    bool same = combo->count() == items.size();
    for (int i = 0; same && i < items.size(); ++i) same = combo->itemText(i) == items[i];
    if (!same) {
      combo->clear();
      combo->addItems(items);
    }
    combo->setCurrentIndex(list.ItemIndex());
    combo->setMaxVisibleItems(list.DropDownCount());
    combo->setEnabled(list.Enabled());
  };
  list.OnChange = sync;
  sync();
  connect(combo, QOverload<int>::of(&QComboBox::activated), this,
          [this, &list](int index) { ListChosen(list, index); });
}

void TMainWindow::ListChosen(TListModel& list, int index) {
  list.Select(index);
  if (&list == &model_.ComboOutputFormat) {
    model_.ComboOutputFormatChange();
  } else if (&list == &model_.ComboVideoQuality || &list == &model_.ComboAudioQuality ||
             &list == &model_.ComboVideoBitrate || &list == &model_.ComboAudioBitrate) {
    model_.ComboVideoQualityChange(list);
  } else if (&list == &model_.ComboVideoSize || &list == &model_.ComboVideoSizeMirror) {
    model_.ComboVideoSizeChange(list);
  }
  Refresh();
}

void TMainWindow::Connect() {
  model_.OnStateChange = [this] { Refresh(); };
  model_.OnRepaintPlay = [this] { panel_play_->update(); };
  model_.Converter().OnPreviewBitmap = [this](int32_t, TBitmap* bitmap, int32_t, int64_t) {
    if (bitmap != nullptr) panel_play_->ShowConversionFrame(*bitmap);
  };
  preview_->OnStopped = [this] { panel_play_->Clear(); };
  preview_->OnTimeLineFacts = [this] { time_line_->FactsChanged(); };
  // As selecting its row does: its marks and pictures come back.
  time_line_->OnSegmentClick = [this](int index) {
    if (model_.Splitting) return;
    segments_->Select(index);
    page_control_->setCurrentWidget(segment_panel_);
  };
  time_edit_->Readable = [this](const std::string& text) { return preview_->TypedReadable(text); };

  auto click = [this](const char* name, auto handler) {
    auto* button = findChild<QPushButton*>(QString::fromUtf8(name));
    connect(button, &QPushButton::clicked, this, handler);
  };
  click("ButtonStart", [this] { model_.ButtonStartClick(); });
  click("ButtonStopSplit", [this] { model_.ButtonStopSplitClick(); });
  click("ButtonOutputFolder", [this] { model_.ButtonOutputFolderClick(); });
  click("SpeedButton7", [this] { AddVideoFileClick(); });
  click("ButtonPlay", [this] { preview_->ButtonPlayClick(); });
  click("ButtonPause", [this] { preview_->ButtonPauseClick(); });
  click("buttonStop", [this] { preview_->buttonStopClick(); });
  click("ButtonMarkStart", [this] { preview_->ButtonMarkStartClick(); });
  click("ButtonMarkEnd", [this] { preview_->ButtonMarkEndClick(); });
  click("ButtonClearMarks", [this] { preview_->ButtonClearMarksClick(); });
  click("ButtonAddSegment", [this] { AddSegmentClick(); });
  connect(spin_volume_, QOverload<int>::of(&QSpinBox::valueChanged), this,
          [this](int value) { model_.SpinVolume = value; });
  connect(track_bar_, &TTrackBar::MouseDown, this, [this] { preview_->TrackBarMouseDown(); });
  connect(track_bar_, &TTrackBar::MouseUp, this,
          [this](qint64 position) { preview_->TrackBarMouseUp(position); });
  connect(&timer_play_, &QTimer::timeout, this, [this] { preview_->TimerPlayTimer(); });
  connect(&end_message_timer_, &QTimer::timeout, this, [this] {
    end_message_timer_.stop();
    model_.EndMessageTimerFired();
  });
}

void TMainWindow::AddPlaybackActions(QMenu* menu) {
  struct TKeyAction {
    const char* name;
    const char* caption;
    QKeySequence key;
    std::function<void()> run;
  };
  TPreviewControl& p = *preview_;
  const TKeyAction actions[] = {
      {"ActionPlayPause", "Play / Pause", QKeySequence(Qt::Key_Space), [&p] { p.PlayOrPause(); }},
      {"ActionPreviousFrame", "Previous Frame", QKeySequence(Qt::Key_Left),
       [&p] { p.StepFrame(-1); }},
      {"ActionNextFrame", "Next Frame", QKeySequence(Qt::Key_Right), [&p] { p.StepFrame(1); }},
      {"ActionBackSecond", "Back One Second", QKeySequence(Qt::SHIFT | Qt::Key_Left),
       [&p] { p.SeekBy(-1000000); }},
      {"ActionForwardSecond", "Forward One Second", QKeySequence(Qt::SHIFT | Qt::Key_Right),
       [&p] { p.SeekBy(1000000); }},
      {"ActionGoToStart", "Go to Start", QKeySequence(Qt::Key_Home), [&p] { p.SeekTo(0); }},
      {"ActionGoToEnd", "Go to End", QKeySequence(Qt::Key_End), [&p] { p.SeekTo(p.TrackBarMax); }},
      {"ActionShuttleBack", "Back (J)", QKeySequence(Qt::Key_J), [&p] { p.Shuttle('J'); }},
      {"ActionShuttlePause", "Pause (K)", QKeySequence(Qt::Key_K), [&p] { p.Shuttle('K'); }},
      {"ActionShuttleForward", "Play / Faster (L)", QKeySequence(Qt::Key_L),
       [&p] { p.Shuttle('L'); }},
      {"ActionGoToMarkStart", "Go to Start Mark", QKeySequence(Qt::Key_BracketLeft),
       [&p] { p.GoToMark(0); }},
      {"ActionGoToMarkEnd", "Go to End Mark", QKeySequence(Qt::Key_BracketRight),
       [&p] { p.GoToMark(1); }},
      {"ActionPlaySegment", "Play Marked Part", QKeySequence(Qt::SHIFT | Qt::Key_Space),
       [&p] { p.PlaySegment(); }},
      {"ActionMarkStart", "Mark Start", QKeySequence(Qt::Key_I),
       [&p] { p.ButtonMarkStartClick(); }},
      {"ActionMarkEnd", "Mark End", QKeySequence(Qt::Key_O), [&p] { p.ButtonMarkEndClick(); }},
  };
  for (const TKeyAction& entry : actions) {
    if (entry.key == QKeySequence(Qt::Key_I)) menu->addSeparator();
    QAction* action = menu->addAction(QString::fromUtf8(entry.caption));
    action->setObjectName(QString::fromUtf8(entry.name));
    action->setShortcut(entry.key);
    action->setShortcutContext(Qt::WindowShortcut);
    // Keys do nothing while a split runs, as the buttons do.
    connect(action, &QAction::triggered, this, [this, run = entry.run] {
      if (!model_.Splitting) run();
    });
    addAction(action);
    idle_actions_.push_back(action);
  }
}

void TMainWindow::Refresh() {
  auto text = [](const std::string& value) { return QString::fromStdString(value); };
  if (edit_input_->text() != text(model_.EditInputFilename)) {
    edit_input_->setText(text(model_.EditInputFilename));
  }
  if (edit_output_->text() != text(model_.EditOutputFolder)) {
    edit_output_->setText(text(model_.EditOutputFolder));
  }
  start_panel_->SetText(text(model_.StartMarkText));
  end_panel_->SetText(text(model_.EndMarkText));
  position_panel_->SetText(text(model_.PositionText));
  progress_label_->setText(text(model_.ProgressText));
  label_output_->setText(text(model_.OutputExplanation()));
  status_line_->setText(text(model_.StatusLine));
  status_time_->setText(text(preview_->PositionReadable()));
  status_line_->setStyleSheet(
      model_.StatusWarning ? QStringLiteral("color: #b00000; font-weight: bold;") : QString());
  frame_count_line_->setText(text(model_.FrameCountLine));
  // A value past 100 shows a full bar.
  progress_bar_->setValue(std::clamp(model_.ProgressValue, 0, 100));
  if (spin_volume_->value() != model_.SpinVolume) {
    const QSignalBlocker block(spin_volume_);
    spin_volume_->setValue(model_.SpinVolume);
  }
  for (QWidget* widget : split_disabled_) widget->setEnabled(model_.ControlsEnabled);
  // What does nothing during a split looks so; Stop Splitting only works then.
  for (QWidget* widget : idle_only_) widget->setEnabled(!model_.Splitting);
  for (QAction* action : idle_actions_) action->setEnabled(!model_.Splitting);
  stop_split_->setEnabled(model_.Splitting);
  track_bar_->SetMaximumUs(preview_->TrackBarMax);
  track_bar_->SetPositionUs(preview_->TrackBarPosition);
  // "0.00" marks nothing, unless it starts a marked part.
  int64_t mark_start = MarkTime(model_.StartMarkText);
  int64_t mark_end = MarkTime(model_.EndMarkText);
  if (mark_end <= 0) mark_end = -1;
  if (mark_start <= 0 && mark_end < 0) mark_start = -1;
  track_bar_->SetMarks(mark_start, mark_end);
  time_line_->SetMarks(mark_start, mark_end);
  time_line_->SetPosition(model_.PlayPosition);
  time_line_->update();
  start_readable_->setText(text(preview_->MarkReadable(0)));
  end_readable_->setText(text(preview_->MarkReadable(1)));
  start_thumbnail_->Show(preview_->StartThumbnail);
  end_thumbnail_->Show(preview_->EndThumbnail);
  RefreshSegments();
  RefreshTimers();
}

void TMainWindow::RefreshTimers() {
  if (preview_->TimerPlayEnabled != timer_play_.isActive()) {
    preview_->TimerPlayEnabled ? timer_play_.start() : timer_play_.stop();
  }
  // The end message timer may already run: it is not restarted then.
  if (model_.EndMessageTimerEnabled && !end_message_timer_.isActive()) end_message_timer_.start();
  if (!model_.EndMessageTimerEnabled && end_message_timer_.isActive()) end_message_timer_.stop();
}

void TMainWindow::OpenFile(const QString& path) {
  RememberCurrentFile();
  const std::string before = model_.EditInputFilename;
  preview_->OpenFile(path.toStdString());
  // The segment list is the file's own: the one it had comes back.
  if (model_.EditInputFilename != before) segment_panel_->ForgetPictures();
  segments_->Recall(model_.EditInputFilename);
  RememberCurrentFile();
}

void TMainWindow::AddVideoFileClick() {
  if (model_.Splitting) return;
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("OpenDialog1"));
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setOption(QFileDialog::ReadOnly, true);
  dialog.setNameFilter(QString::fromUtf8(kOpenFilter));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  OpenFile(dialog.selectedFiles().first());
}

void TMainWindow::ExitClick() {
  // As closing the window: the choices are stored, then the program ends.
  close();
  QApplication::exit(0);
}

void TMainWindow::OpenHelpFileClick() { QDesktopServices::openUrl(TAboutDialog::Website()); }

void TMainWindow::closeEvent(QCloseEvent* event) {
  RememberCurrentFile();
  model_.SaveSettings(settings_);
  SaveViewSettings();
  preferences_->close();
  time_edit_->close();
  about_->close();
  event->accept();
}

void TMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  // Where it was last, when that place is still on a screen; else centred.
  if (stored_geometry_.isValid() && QGuiApplication::screenAt(stored_geometry_.center())) {
    move(stored_geometry_.topLeft());
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - frameGeometry().center() + pos());
  }
}

void TMainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  model_.FormTop = y();
  model_.FormLeft = x();
}

void TMainWindow::dragEnterEvent(QDragEnterEvent* event) {
  // A drag may say it carries URLs and bring none.
  const QList<QUrl> urls = event->mimeData()->urls();
  if (!model_.Splitting && !urls.isEmpty() && urls.first().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void TMainWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (model_.Splitting || urls.isEmpty() || !urls.first().isLocalFile()) return;
  event->acceptProposedAction();
  OpenFile(urls.first().toLocalFile());
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) LayOutClient();
  // While a split runs the menu bar's items do not open; they are not greyed.
  if (watched == menu_bar_ && !model_.ControlsEnabled) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseButtonRelease:
      case QEvent::KeyPress:
        return true;
      default:
        break;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace kelvane
