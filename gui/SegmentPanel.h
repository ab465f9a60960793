// TSegmentPanel, the "Segments" page of the output settings: the segment
// list (objectName SegmentList), each segment with small pictures of its
// first and last frames, its number and label, its times and length; Update
// Segment, Remove, Up, Down, Rename...; and the output choice for a list
// ("One file per segment" / "One joined file"). Mirrors TSegmentControl and
// forwards clicks to it; selecting a row selects the segment (its marks and
// pictures come back).
//
// A segment's pictures are the marks' thumbnails as they are when it is
// added, updated or selected (TSegmentControl::OnPictures), kept small here
// for as long as the segment keeps its times and the file stays open; a list
// loaded with the file or from a CSV file has its rows' pictures read on a
// thread of its own (TSegmentPictures).
//
// Ownership: refers to the segment control and the preview control, which the
// window owns and which outlive the panel. Threads: main thread only.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "app/PreviewControl.h"
#include "app/SegmentControl.h"
#include "app/SegmentPictures.h"

class QHBoxLayout;
class QListWidget;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace kelvane {

class TSegmentPanel : public QWidget {
 public:
  TSegmentPanel(TSegmentControl& segments, TPreviewControl& preview, QWidget* parent = nullptr);
  // Goes before the segment control: stops listening to it.
  ~TSegmentPanel() override;

  // Mirrors the list, the selection and the output choice.
  void Refresh(bool splitting);
  // Forgets the pictures (another file opened).
  void ForgetPictures();
  // Asks for the selected segment's new label.
  void RenameClick();
  // The pictures kept for the segment at `index` (first, last); null images
  // when there are none yet.
  std::pair<QImage, QImage> Pictures(size_t index) const;

 private:
  using TKey = std::pair<int64_t, int64_t>;  // a segment's times, µs
  struct TPictures {
    QImage First;
    QImage Last;
  };
  // The constructor's steps: the list; the buttons beside it; the output
  // choice below; the clicks, keys and pictures forwarded to the control.
  void BuildList();
  QVBoxLayout* BuildButtons();
  QHBoxLayout* BuildOutputChoice();
  void Connect();
  // The marks' thumbnails become segment `index`'s pictures.
  void TakePictures(size_t index);
  QImage RowIcon(const TPictures* pictures) const;
  // Reads the pictures of the segments that have none and were not asked for
  // yet, in the background; each row shows them as they come.
  void ReadMissingPictures();

  TSegmentControl& segments_;
  TPreviewControl& preview_;
  QListWidget* list_ = nullptr;
  QPushButton* update_ = nullptr;
  QPushButton* remove_ = nullptr;
  QPushButton* up_ = nullptr;
  QPushButton* down_ = nullptr;
  QPushButton* rename_ = nullptr;
  QRadioButton* one_per_segment_ = nullptr;
  QRadioButton* joined_ = nullptr;
  std::map<TKey, TPictures> pictures_;
  std::set<TKey> asked_;     // segments whose pictures were read (or are being)
  bool splitting_ = false;  // as last refreshed
  TSegmentPictures reader_;
};

}  // namespace kelvane
