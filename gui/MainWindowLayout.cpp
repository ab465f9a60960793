// The main window's controls and where they sit: the preview and the marks on
// the left, the output on the right, the menu bar above.
#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <algorithm>

#include "gui/AboutDialog.h"
#include "gui/MainWindow.h"
#include "gui/PlayPanel.h"
#include "gui/PreferencesDialog.h"
#include "gui/ThumbnailView.h"
#include "gui/TimeEditDialog.h"
#include "gui/TimeLine.h"
#include "gui/TimePanel.h"
#include "gui/TrackBar.h"

namespace kelvane {
namespace {

// The output side starts at x = 440; everything left of it is the player's.
const int kOutputSideLeft = 436;

QLabel* AddLabel(const char* text, QWidget* parent, int x, int y, int w, int h) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setGeometry(x, y, w, h);
  return label;
}

QLineEdit* AddReadOnlyEdit(const char* name, QWidget* parent, int x, int y, int w, int h) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromUtf8(name));
  edit->setReadOnly(true);
  edit->setGeometry(x, y, w, h);
  return edit;
}

}  // namespace

QPushButton* TMainWindow::AddButton(const char* name, const char* caption, QWidget* parent, int x,
                                    int y, int w, int h) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromUtf8(name));
  button->setGeometry(x, y, w, h);
  return button;
}

QComboBox* TMainWindow::AddCombo(TListModel& list, const char* name, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(QString::fromUtf8(name));
  BindList(list, combo);
  return combo;
}

void TMainWindow::BuildMenu() {
  menu_bar_ = menuBar();
  menu_bar_->setObjectName(QStringLiteral("MainMenu1"));
  menu_bar_->installEventFilter(this);
  BuildFileMenu(menu_bar_->addMenu(QStringLiteral("File")));
  QMenu* playback = menu_bar_->addMenu(QStringLiteral("Playback"));
  BuildPlaybackMenu(playback);
  QMenu* option = menu_bar_->addMenu(QStringLiteral("Option"));
  option->addAction(QStringLiteral("Preferences"), this, [this] { preferences_->ShowOver(this); })
      ->setObjectName(QStringLiteral("Preferences1"));
  BuildAboutMenu(menu_bar_->addMenu(QStringLiteral("About")), playback);
}

void TMainWindow::BuildFileMenu(QMenu* file) {
  QAction* add =
      file->addAction(QStringLiteral("Add Video File..."), this, [this] { AddVideoFileClick(); });
  add->setObjectName(QStringLiteral("AddVideoFile1"));
  add->setShortcut(QKeySequence::Open);
  idle_actions_.push_back(add);
  BuildRecentMenu(file);
  BuildSegmentMenu(file);
  file->addSeparator();
  file->addAction(QStringLiteral("Exit"), this, [this] { ExitClick(); })
      ->setObjectName(QStringLiteral("Exit1"));
}

void TMainWindow::BuildPlaybackMenu(QMenu* playback) {
  AddPlaybackActions(playback);
  AddSegmentKey(playback);
  QAction* go_to =
      playback->addAction(QStringLiteral("Go to Time..."), this, [this] { GoToTimeClick(); });
  go_to->setObjectName(QStringLiteral("ActionGoToTime"));
  go_to->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
  AddTimeLineActions(playback);
  playback->addSeparator();
  // Both keys work in the full-screen preview too, a window of its own.
  QAction* full = playback->addAction(QStringLiteral("Full Screen Preview"), this,
                                      [this] { SetPreviewFullScreen(!panel_play_->isWindow()); });
  full->setObjectName(QStringLiteral("ActionFullScreen"));
  full->setShortcut(QKeySequence(Qt::Key_F11));
  full->setShortcutContext(Qt::ApplicationShortcut);
  leave_full_screen_ = new QAction(QStringLiteral("Leave Full Screen"), this);
  leave_full_screen_->setObjectName(QStringLiteral("ActionLeaveFullScreen"));
  leave_full_screen_->setShortcut(QKeySequence(Qt::Key_Escape));
  leave_full_screen_->setShortcutContext(Qt::ApplicationShortcut);
  leave_full_screen_->setEnabled(false);  // Esc stays the dialogs' own otherwise
  connect(leave_full_screen_, &QAction::triggered, this, [this] { SetPreviewFullScreen(false); });
  addAction(leave_full_screen_);
}

void TMainWindow::GoToTimeClick() {
  if (model_.Splitting) return;
  auto* dialog = new QInputDialog(this);
  dialog->setObjectName(QStringLiteral("GoToTime"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Go to Time"));
  dialog->setLabelText(QStringLiteral("Time (83.46, 1:23.46, 0:01:23.46) or picture (frame 250):"));
  connect(dialog, &QInputDialog::textValueSelected, this,
          [this](const QString& text) { preview_->GoToTime(text.toStdString()); });
  dialog->open();
}

void TMainWindow::BuildAboutMenu(QMenu* about, QMenu* playback) {
  about->addAction(QStringLiteral("Open Help File"), this, [this] { OpenHelpFileClick(); })
      ->setObjectName(QStringLiteral("OpenHelpFile1"));
  about->addAction(QStringLiteral("Keys"), this, [this, playback] { ShowKeys(playback); })
      ->setObjectName(QStringLiteral("HelpKeys1"));
  about->addSeparator();
  about->addAction(QStringLiteral("Visit Our Website"), this, [] { TAboutDialog::WebsiteClick(); })
      ->setObjectName(QStringLiteral("VisitOrvathWebsite1"));
  about
      ->addAction(QStringLiteral("Email Support Department"), this,
                  [] { TAboutDialog::SupportMailClick(); })
      ->setObjectName(QStringLiteral("ContactSupportDepartment1"));
  about->addSeparator();
  about->addAction(QStringLiteral("About"), this, [this] { about_->ShowOver(this); })
      ->setObjectName(QStringLiteral("About2"));
}

void TMainWindow::ShowKeys(const QMenu* playback) {
  // The keys as the Playback menu binds them, so the list cannot drift.
  std::string keys;
  for (QAction* action : playback->actions()) {
    if (action->shortcut().isEmpty()) continue;
    keys += action->shortcut().toString(QKeySequence::NativeText).toStdString() + "\t" +
            action->text().remove(QStringLiteral("...")).toStdString() + "\n";
  }
  keys += "Esc\tLeave Full Screen\nCtrl+O\tAdd Video File";
  messages_.ShowMessage("Keys", keys);
}

void TMainWindow::BuildPlayerSide(QWidget* client) {
  BuildPreviewArea(client);
  QPushButton* play = AddButton("ButtonPlay", "Play", client, 8, 356, 78, 28);
  play->setToolTip(QStringLiteral("Play (Space)"));
  QPushButton* pause = AddButton("ButtonPause", "Pause", client, 90, 356, 78, 28);
  pause->setToolTip(QStringLiteral("Pause (Space)"));
  QPushButton* stop = AddButton("buttonStop", "Stop", client, 172, 356, 78, 28);
  position_panel_ =
      new TTimePanel(QStringLiteral("Panel3"), QStringLiteral("Current Duration :"), client);
  position_panel_->setGeometry(256, 356, 172, 28);
  BuildMarkPanels(client);
  QPushButton* mark_start = AddButton("ButtonMarkStart", "Mark Start", client, 8, 485, 116, 28);
  mark_start->setToolTip(QStringLiteral("Mark the picture shown as the start (I)"));
  QPushButton* mark_end = AddButton("ButtonMarkEnd", "Mark End", client, 130, 485, 116, 28);
  mark_end->setToolTip(QStringLiteral("Mark the picture shown as the end (O)"));
  idle_only_.push_back(AddButton("ButtonClearMarks", "Clear Marks", client, 252, 485, 86, 28));
  QPushButton* add_segment = AddButton("ButtonAddSegment", "Add Segment", client, 342, 485, 86, 28);
  add_segment->setToolTip(QStringLiteral("Add the marked part to the segment list (Insert)"));
  AddMarkPanelMenus();
  split_disabled_ = {play, pause, stop, mark_start, mark_end, add_segment};
}

void TMainWindow::BuildPreviewArea(QWidget* client) {
  auto* container = new QFrame(client);
  container->setObjectName(QStringLiteral("PanelcontainerPlay"));
  container->setFrameShape(QFrame::StyledPanel);
  container->setFrameShadow(QFrame::Sunken);
  container->setGeometry(8, 8, 420, 263);
  panel_play_ = new TPlayPanel(container);
  panel_play_->setGeometry(4, 4, 412, 255);
  panel_play_->setToolTip(QStringLiteral("Double-click or F11: full screen, Esc: back"));
  panel_play_->OnResized = [this](int width, int height) {
    if (preview_) preview_->DisplayResized(width, height);
  };
  panel_play_->OnDoubleClick = [this] { SetPreviewFullScreen(!panel_play_->isWindow()); };

  time_line_ = new TTimeLine(*preview_, client);
  time_line_->setGeometry(8, 274, 420, 50);

  track_bar_ = new TTrackBar(client);
  track_bar_->setGeometry(8, 326, 420, 26);
  track_bar_->setToolTip(QStringLiteral(
      "Drag to move through the file.\nLeft/Right: one frame, Shift+Left/Right: one second,\n"
      "Home/End: start/end. The marked part is drawn on the bar."));
}

void TMainWindow::BuildMarkPanels(QWidget* client) {
  start_thumbnail_ = new TThumbnailView(QStringLiteral("Image1"), client);
  start_thumbnail_->move(8, 392);
  end_thumbnail_ = new TThumbnailView(QStringLiteral("Image2"), client);
  end_thumbnail_->move(130, 392);
  start_panel_ = new TTimePanel(QStringLiteral("Panel1"), QStringLiteral("Start Time :"), client);
  start_panel_->setGeometry(252, 392, 176, 28);
  start_panel_->setToolTip(QStringLiteral("Right click to edit values"));
  end_panel_ = new TTimePanel(QStringLiteral("Panel2"), QStringLiteral("End Time : "), client);
  end_panel_->setGeometry(252, 424, 176, 28);
  end_panel_->setToolTip(QStringLiteral("Right click to edit values"));
  // The marks as people read them, beside the seconds the split takes.
  start_readable_ = AddLabel("", client, 252, 453, 176, 15);
  start_readable_->setObjectName(QStringLiteral("StartTimeReadable"));
  end_readable_ = AddLabel("", client, 252, 468, 176, 15);
  end_readable_->setObjectName(QStringLiteral("EndTimeReadable"));
  for (QLabel* label : {start_readable_, end_readable_}) {
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    label->setFont(small);
  }
}

// Right click on a mark's panel: edit its time.
void TMainWindow::AddMarkPanelMenus() {
  for (TTimePanel* panel : {start_panel_, end_panel_}) {
    const bool start = panel == start_panel_;
    auto* menu = new QMenu(panel);
    menu->setObjectName(start ? QStringLiteral("PopupMenuPanel1")
                              : QStringLiteral("PopupMenuPanel2"));
    QAction* edit = menu->addAction(start ? QStringLiteral("Edit Start Time")
                                          : QStringLiteral("Edit End Time"));
    edit->setObjectName(start ? QStringLiteral("EditValues1") : QStringLiteral("EditThisValue1"));
    connect(edit, &QAction::triggered, this, [this, start] {
      start ? model_.EditStartTimeClick() : model_.EditEndTimeClick();
      time_edit_->ShowOver(this);
    });
    panel->SetPopupMenu(menu);
  }
}

void TMainWindow::BuildStatusBar() {
  status_line_ = new QLabel(this);
  status_line_->setObjectName(QStringLiteral("StatusPanel0"));
  status_line_->setMinimumWidth(50);
  frame_count_line_ = new QLabel(this);
  frame_count_line_->setObjectName(QStringLiteral("StatusPanel1"));
  frame_count_line_->setMinimumWidth(50);
  statusBar()->setObjectName(QStringLiteral("StatusBar1"));
  statusBar()->setSizeGripEnabled(false);
  statusBar()->addWidget(status_line_);
  statusBar()->addWidget(frame_count_line_, 1);
  status_time_ = new QLabel(this);
  status_time_->setObjectName(QStringLiteral("StatusTime"));
  statusBar()->addPermanentWidget(status_time_);
}

QWidget* TMainWindow::BuildSettingsPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  grid->addWidget(new QLabel(QStringLiteral("Video Quality :")), 0, 0);
  grid->addWidget(AddCombo(model_.ComboVideoQuality, "ComboVideoQuality", page), 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Audio Quality :")), 1, 0);
  grid->addWidget(AddCombo(model_.ComboAudioQuality, "ComboAudioQuality", page), 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("Video Size :")), 2, 0);
  grid->addWidget(AddCombo(model_.ComboVideoSizeMirror, "ComboVideoSize1", page), 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("Letterbox :")), 3, 0);
  grid->addWidget(AddCombo(model_.ComboLetterBox, "ComboLetterBox", page), 3, 1);
  grid->addWidget(new QLabel(QStringLiteral("Change Output Volume : ")), 4, 0);
  spin_volume_ = new QSpinBox(page);
  spin_volume_->setObjectName(QStringLiteral("SpinVolume"));
  spin_volume_->setRange(0, 200);
  spin_volume_->setSingleStep(20);
  spin_volume_->setValue(100);
  grid->addWidget(spin_volume_, 4, 1);
  grid->setColumnStretch(1, 1);
  return page;
}

QWidget* TMainWindow::BuildDetailedPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  struct TEntry {
    const char* label;
    TListModel& list;
    const char* name;
  };
  const TEntry entries[] = {
      {"Video Codec :", model_.ComboVideoCodec, "ComboVideoCodec"},
      {"Audio Codec :", model_.ComboAudioCodec, "ComboAudioCodec"},
      {"Video Bitrate :", model_.ComboVideoBitrate, "ComboVideoBitrate"},
      {"Audio Bitrate :", model_.ComboAudioBitrate, "ComboaudioBitrate"},
      {"Video Size :", model_.ComboVideoSize, "ComboVideoSize"},
      {"Sample Rate :", model_.ComboSamplingRate, "ComboSamplingRate"},
      {"Frame Rate :", model_.ComboVideoFramerate, "ComboVideoFramerate"},
      {"Channels :", model_.ComboAudioChannels, "ComboAudioChannels"},
  };
  int index = 0;
  for (const TEntry& entry : entries) {
    const int row = (index / 2) * 2;
    const int column = index % 2;
    grid->addWidget(new QLabel(QString::fromUtf8(entry.label)), row, column);
    QComboBox* combo = AddCombo(entry.list, entry.name, page);
    combo->setMinimumContentsLength(10);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    grid->addWidget(combo, row + 1, column);
    ++index;
  }
  return page;
}

void TMainWindow::BuildOutputSide(QWidget* client) {
  QPushButton* add = AddButton("SpeedButton7", "Add Video File", client, 440, 8, 124, 28);
  idle_only_.push_back(add);
  add->setToolTip(QStringLiteral("Open a video file (Ctrl+O), or drop one onto the window"));
  edit_input_ = AddReadOnlyEdit("EditInputFilename", client, 570, 8, 279, 28);

  AddLabel("Choose Output Format :", client, 440, 44, 200, 22);
  QComboBox* formats = AddCombo(model_.ComboOutputFormat, "ComboOutputFormat", client);
  formats->setGeometry(440, 66, 409, 28);
  label_output_ = new QLabel(client);
  label_output_->setObjectName(QStringLiteral("LabelOutputExplanation"));
  label_output_->setGeometry(444, 96, 405, 20);
  label_output_->setToolTip(QStringLiteral("What the new file will be"));

  // Everything below the line of what the file will be.
  const int y = 18;
  auto* group = new QGroupBox(QStringLiteral("  Output Settings "), client);
  group->setGeometry(440, 100 + y, 409, 236);
  page_control_ = new QTabWidget(group);
  page_control_->setObjectName(QStringLiteral("PageControl1"));
  page_control_->setGeometry(8, 22, 393, 206);
  page_control_->addTab(BuildSettingsPage(), QStringLiteral("Output Settings"));
  page_control_->addTab(BuildDetailedPage(), QStringLiteral("Detailed Output Settings"));
  page_control_->addTab(BuildSegmentsPage(), QStringLiteral("Segments"));

  idle_only_.push_back(
      AddButton("ButtonOutputFolder", "Output Folder", client, 440, 344 + y, 124, 28));
  edit_output_ = AddReadOnlyEdit("EditOutputFolder", client, 570, 344 + y, 279, 28);

  QPushButton* start = AddButton("ButtonStart", "Start ", client, 440, 388 + y, 200, 44);
  QFont bold = start->font();
  bold.setBold(true);
  start->setFont(bold);
  stop_split_ = AddButton("ButtonStopSplit", "Stop Splitting", client, 649, 388 + y, 200, 44);
  progress_bar_ = new QProgressBar(client);
  progress_bar_->setObjectName(QStringLiteral("ProgressBar1"));
  progress_bar_->setRange(0, 100);
  progress_bar_->setValue(0);
  progress_bar_->setTextVisible(false);
  progress_bar_->setGeometry(440, 444 + y, 344, 26);
  progress_label_ = new QLabel(QStringLiteral("0%"), client);
  progress_label_->setObjectName(QStringLiteral("Panelprogress"));
  progress_label_->setFrameShape(QFrame::StyledPanel);
  progress_label_->setAlignment(Qt::AlignCenter);
  progress_label_->setGeometry(790, 444 + y, 59, 26);
  split_disabled_.push_back(page_control_);
  split_disabled_.push_back(start);
}

void TMainWindow::KeepLayout(QWidget* client) {
  for (QWidget* widget : client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    TFollow follow = TFollow::Right;  // the output side
    if (widget == panel_play_->parentWidget()) {
      follow = TFollow::Grow;
    } else if (widget == time_line_) {
      follow = TFollow::Band;
    } else if (widget == track_bar_) {
      follow = TFollow::Widen;
    } else if (widget->x() < kOutputSideLeft) {
      follow = TFollow::Down;  // the buttons, times and marks under the preview
    }
    placed_.push_back({widget, widget->geometry(), follow});
  }
  client->installEventFilter(this);
}

void TMainWindow::LayOutClient() {
  const int dx = std::max(0, client_->width() - client_->minimumWidth());
  const int dy = std::max(0, client_->height() - client_->minimumHeight());
  // A third of the extra height goes to the time line (up to 120 pixels).
  const int band = std::min(dy / 3, 120);
  for (const TPlaced& placed : placed_) {
    QRect place = placed.home;
    switch (placed.follow) {
      case TFollow::Grow:
        place.adjust(0, 0, dx, dy - band);
        break;
      case TFollow::Band:
        place.adjust(0, dy - band, dx, dy);
        break;
      case TFollow::Widen:
        place.adjust(0, dy, dx, dy);
        break;
      case TFollow::Down:
        place.translate(0, dy);
        break;
      case TFollow::Right:
        place.translate(dx, 0);
        break;
    }
    placed.widget->setGeometry(place);
  }
  if (!panel_play_->isWindow()) {
    const QRect inside = panel_play_->parentWidget()->rect().adjusted(4, 4, -4, -4);
    panel_play_->setGeometry(inside);
  }
}

void TMainWindow::SetPreviewFullScreen(bool full) {
  if (full == panel_play_->isWindow()) return;
  leave_full_screen_->setEnabled(full);
  if (full) {
    panel_play_->setWindowFlags(Qt::Window);
    panel_play_->setWindowTitle(windowTitle());
    panel_play_->showFullScreen();
    panel_play_->activateWindow();
  } else {
    panel_play_->setWindowFlags(Qt::Widget);
    LayOutClient();
    panel_play_->show();
    activateWindow();
  }
}

}  // namespace kelvane
