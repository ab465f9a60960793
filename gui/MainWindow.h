// TMainWindow, the main window: the preview panel, the time line and the track bar
// under it and the transport, the marks with their thumbnails, the output
// format and its settings lists on two pages, the output folder, Start / Stop
// Splitting with the progress, the menu bar and the two-panel status bar; the
// client area is 857 x 541 at first and grows (the window comes back at its
// last place and size; the first time it opens centred). Every control's objectName is the name the
// rest of the program and the tests know it by (ButtonStart, ComboOutputFormat, ...; gui/README.md
// names the control each member shows).
//
// The window holds no logic of its own: it mirrors the window model's fields
// and lists into its widgets (Refresh, and each list's OnChange) and forwards
// clicks, keys, timer ticks and dropped files to the model and the preview
// control. Closing the window stores the settings; "Exit" quits without.
//
// Ownership: owns the model, the preview control and the three small dialogs;
// the message sink and the settings store belong to the caller and must
// outlive the window.
//
// Threads: main thread only.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <memory>

#include "app/MainWindowModel.h"
#include "app/PreviewControl.h"
#include "app/RecentFiles.h"
#include "app/SegmentControl.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace kelvane {

class TPreferencesDialog;
class TTimeEditDialog;
class TAboutDialog;
class TPlayPanel;
class TSegmentPanel;
class TThumbnailView;
class TTimeLine;
class TTimePanel;
class TTrackBar;

class TMainWindow : public QMainWindow {
 public:
  // Runs FormCreate (libraries from `program_folder`), creates the dialogs and
  // loads the stored settings.
  TMainWindow(TMessageSink& messages, TSettingsStore& settings, const std::string& program_folder);
  ~TMainWindow() override;

  TMainWindowModel& Model() { return model_; }
  TPreviewControl& Preview() { return *preview_; }
  TFFPlayer& Player() { return preview_->Player(); }
  TSegmentControl& Segments() { return *segments_; }
  TSegmentPanel& SegmentPanel() { return *segment_panel_; }
  TPlayPanel& PanelPlay() { return *panel_play_; }
  TPreferencesDialog& Preferences() { return *preferences_; }
  TTimeEditDialog& TimeEdit() { return *time_edit_; }
  TAboutDialog& About() { return *about_; }

  // Add Video File with a path already chosen (`kelvane FILE`, a dropped file).
  void OpenFile(const QString& path);
  // The handlers of the controls that need more than the model.
  void AddVideoFileClick();  // Add Video File: the file dialog
  void ExitClick();          // quits without storing the settings
  void OpenHelpFileClick();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // MainWindowLayout.cpp
  void BuildMenu();
  void BuildFileMenu(QMenu* file);
  void BuildPlaybackMenu(QMenu* playback);
  void GoToTimeClick();
  void BuildAboutMenu(QMenu* about, QMenu* playback);
  void ShowKeys(const QMenu* playback);  // Keys: the Playback menu's shortcuts
  void BuildPlayerSide(QWidget* client);
  void BuildPreviewArea(QWidget* client);  // the preview, time line and track bar
  void BuildMarkPanels(QWidget* client);   // the marks' thumbnails, times and readable times
  void AddMarkPanelMenus();
  void BuildStatusBar();  // the status line, the frame count and the time
  void BuildOutputSide(QWidget* client);
  QWidget* BuildSettingsPage();
  QWidget* BuildDetailedPage();
  QComboBox* AddCombo(TListModel& list, const char* name, QWidget* parent);
  QPushButton* AddButton(const char* name, const char* caption, QWidget* parent, int x, int y,
                         int w, int h);
  // MainWindow.cpp
  void Connect();
  void BindList(TListModel& list, QComboBox* combo);
  void ListChosen(TListModel& list, int index);
  void Refresh();
  void RefreshTimers();
  void AddPlaybackActions(QMenu* menu);
  // MainWindowTimeLine.cpp: zoom, snapping to key frames and looping the marked part.
  void AddTimeLineActions(QMenu* menu);
  // MainWindowTimeLine.cpp: the File menu's recent files (opening one brings its
  // marks back), and the stored settings of the time line and the window's
  // place and size.
  void BuildRecentMenu(QMenu* file);
  void RefreshRecentMenu();
  void OpenRecent(const TRecentFile& file);
  void RememberCurrentFile();
  void LoadViewSettings();
  void SaveViewSettings();
  // MainWindowSegments.cpp: the segment list's page, its key (Insert: Add
  // Segment), the File menu's Load / Save / Invert Segments, and what the
  // window shows of the list (the page, the time line's bands, the progress
  // over a list).
  QWidget* BuildSegmentsPage();
  void BuildSegmentMenu(QMenu* file);
  void AddSegmentKey(QMenu* playback);
  void AddSegmentClick();
  void LoadSegmentsClick();
  void SaveSegmentsClick();
  void RefreshSegments();
  // MainWindowLayout.cpp: the extra room of a window larger than 857 x 541 goes to
  // the preview and the track bar; the output side keeps its width.
  void KeepLayout(QWidget* client);
  void LayOutClient();
  // The preview alone on the whole screen (F11, double-click), or back (Esc).
  void SetPreviewFullScreen(bool full);

  TMessageSink& messages_;
  TSettingsStore& settings_;
  TMainWindowModel model_;
  std::unique_ptr<TPreviewControl> preview_;
  std::unique_ptr<TSegmentControl> segments_;

  TPlayPanel* panel_play_ = nullptr;
  TTrackBar* track_bar_ = nullptr;
  TTimeLine* time_line_ = nullptr;
  TSegmentPanel* segment_panel_ = nullptr;  // a page of the page control
  QLabel* start_readable_ = nullptr;        // the marks as people read them
  QLabel* end_readable_ = nullptr;
  TThumbnailView* start_thumbnail_ = nullptr;
  TThumbnailView* end_thumbnail_ = nullptr;
  TTimePanel* start_panel_ = nullptr;
  TTimePanel* end_panel_ = nullptr;
  TTimePanel* position_panel_ = nullptr;
  QLineEdit* edit_input_ = nullptr;
  QLineEdit* edit_output_ = nullptr;
  QTabWidget* page_control_ = nullptr;
  QSpinBox* spin_volume_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QLabel* progress_label_ = nullptr;
  QLabel* label_output_ = nullptr;  // what the file will be, under the format list
  QLabel* status_line_ = nullptr;
  QLabel* frame_count_line_ = nullptr;
  QLabel* status_time_ = nullptr;  // the position and length as people read them
  QMenuBar* menu_bar_ = nullptr;
  QWidget* client_ = nullptr;
  // Each control of the client area with its place at 857 x 541 and how it
  // follows a larger area.
  enum class TFollow { Grow, Band, Widen, Down, Right };
  struct TPlaced {
    QWidget* widget;
    QRect home;
    TFollow follow;
  };
  std::vector<TPlaced> placed_;
  QAction* leave_full_screen_ = nullptr;
  // Disabled while a split runs (DisableControls): the page control and these.
  std::vector<QWidget*> split_disabled_;
  // Do nothing while a split runs, so they look disabled then: Add Video File,
  // Output Folder, Clear Marks; the Add Video File and playback menu items.
  std::vector<QWidget*> idle_only_;
  std::vector<QAction*> idle_actions_;
  QPushButton* stop_split_ = nullptr;
  QTimer timer_play_;         // 100 ms, the playing position
  QTimer end_message_timer_;  // 100 ms, the end message
  bool shown_once_ = false;
  TRecentFiles recent_;
  QMenu* recent_menu_ = nullptr;
  QAction* snap_action_ = nullptr;
  QAction* loop_action_ = nullptr;
  QRect stored_geometry_;  // the window's last place and size (empty: none stored)

  TPreferencesDialog* preferences_ = nullptr;
  TTimeEditDialog* time_edit_ = nullptr;
  TAboutDialog* about_ = nullptr;
};

}  // namespace kelvane
