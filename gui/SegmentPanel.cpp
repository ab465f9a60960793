#include "gui/SegmentPanel.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kelvane {
namespace {

const QSize kPicture(44, 33);  // each of a row's two pictures

// Caller holds the frame's lock when it is shared.
QImage Small(const TBitmap& frame) {
  if (frame.Width <= 0 || frame.Height <= 0) return {};
  return QImage(frame.Pixels.data(), frame.Width, frame.Height, frame.Stride,
                QImage::Format_BGR888)
      .scaled(kPicture, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage Small(const TThumbnail& thumbnail) {
  if (thumbnail.Black) return {};
  std::lock_guard<std::mutex> lock(thumbnail.Frame.Lock);
  return Small(thumbnail.Frame);
}

}  // namespace

TSegmentPanel::TSegmentPanel(TSegmentControl& segments, TPreviewControl& preview, QWidget* parent)
    : QWidget(parent), segments_(segments), preview_(preview) {
  setObjectName(QStringLiteral("SegmentPage"));
  BuildList();
  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->addWidget(list_, 1);
  top->addLayout(BuildButtons());
  auto* all = new QVBoxLayout(this);
  all->setContentsMargins(6, 6, 6, 4);
  all->setSpacing(4);
  all->addLayout(top, 1);
  all->addLayout(BuildOutputChoice());
  Connect();
}

void TSegmentPanel::BuildList() {
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("SegmentList"));
  list_->setIconSize(QSize(kPicture.width() * 2 + 2, kPicture.height()));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setToolTip(QStringLiteral(
      "Each segment with its first and last pictures, its length and times.\n"
      "Select one to see and edit its marks; Insert adds the marks as a segment."));
  QFont small = list_->font();
  small.setPointSizeF(small.pointSizeF() * 0.9);
  list_->setFont(small);
}

QVBoxLayout* TSegmentPanel::BuildButtons() {
  auto button = [this](const char* name, const char* caption, const char* tip) {
    auto* b = new QPushButton(QString::fromUtf8(caption), this);
    b->setObjectName(QString::fromUtf8(name));
    b->setToolTip(QString::fromUtf8(tip));
    return b;
  };
  update_ = button("ButtonUpdateSegment", "Update Segment",
                   "The marks become the selected segment's times");
  remove_ = button("ButtonRemoveSegment", "Remove", "Remove the selected segment (Delete)");
  up_ = button("ButtonSegmentUp", "Up", "Move the selected segment up");
  down_ = button("ButtonSegmentDown", "Down", "Move the selected segment down");
  rename_ = button("ButtonRenameSegment", "Rename...", "Give the selected segment a label");
  auto* buttons = new QVBoxLayout;
  buttons->setSpacing(3);
  for (QPushButton* b : {update_, remove_, up_, down_, rename_}) buttons->addWidget(b);
  buttons->addStretch(1);
  return buttons;
}

QHBoxLayout* TSegmentPanel::BuildOutputChoice() {
  one_per_segment_ = new QRadioButton(QString::fromUtf8(TSegmentControl::kOneFilePerSegment), this);
  one_per_segment_->setObjectName(QStringLiteral("RadioOneFilePerSegment"));
  joined_ = new QRadioButton(QString::fromUtf8(TSegmentControl::kOneJoinedFile), this);
  joined_->setObjectName(QStringLiteral("RadioOneJoinedFile"));
  joined_->setToolTip(QStringLiteral("The segments in list order, a chapter at each join"));
  auto* group = new QButtonGroup(this);
  group->addButton(one_per_segment_);
  group->addButton(joined_);
  one_per_segment_->setChecked(true);
  auto* choice = new QHBoxLayout;
  choice->setContentsMargins(0, 0, 0, 0);
  choice->addWidget(one_per_segment_);
  choice->addWidget(joined_);
  choice->addStretch(1);
  return choice;
}

void TSegmentPanel::Connect() {
  segments_.OnPictures = [this](size_t index) { TakePictures(index); };
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) { segments_.Select(row); });
  // A selected segment chosen again brings its marks back.
  connect(list_, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { segments_.Select(list_->row(item)); });
  connect(update_, &QPushButton::clicked, this, [this] { segments_.UpdateSegment(); });
  connect(remove_, &QPushButton::clicked, this, [this] { segments_.RemoveSegment(); });
  connect(up_, &QPushButton::clicked, this, [this] { segments_.MoveSegment(-1); });
  connect(down_, &QPushButton::clicked, this, [this] { segments_.MoveSegment(1); });
  connect(rename_, &QPushButton::clicked, this, [this] { RenameClick(); });
  connect(joined_, &QRadioButton::toggled, this, [this](bool on) { segments_.SetJoin(on); });
  auto* remove_key = new QAction(this);
  remove_key->setShortcut(QKeySequence::Delete);
  remove_key->setShortcutContext(Qt::WidgetShortcut);
  connect(remove_key, &QAction::triggered, this, [this] { segments_.RemoveSegment(); });
  list_->addAction(remove_key);
}

TSegmentPanel::~TSegmentPanel() {
  reader_.Cancel();
  segments_.OnPictures = nullptr;
  list_->disconnect(this);
  joined_->disconnect(this);
}

void TSegmentPanel::RenameClick() {
  const int selected = segments_.Selected();
  if (selected < 0) return;
  auto* dialog = new QInputDialog(this);
  dialog->setObjectName(QStringLiteral("RenameSegment"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Rename Segment"));
  dialog->setLabelText(QStringLiteral("Label of segment %1 (names its file):").arg(selected + 1));
  dialog->setTextValue(
      QString::fromStdString(segments_.List().Items()[static_cast<size_t>(selected)].Label));
  connect(dialog, &QInputDialog::textValueSelected, this, [this, selected](const QString& text) {
    if (segments_.Selected() == selected) segments_.RenameSegment(text.toStdString());
  });
  dialog->open();
}

void TSegmentPanel::ForgetPictures() {
  reader_.Cancel();
  pictures_.clear();
  asked_.clear();
}

void TSegmentPanel::ReadMissingPictures() {
  const std::string& file = segments_.FileName();
  std::vector<TSegmentPictures::TPart> missing;
  bool new_ones = false;
  for (const TKey& part : segments_.Parts()) {
    if (pictures_.count(part) != 0) continue;
    missing.push_back(part);
    new_ones = asked_.insert(part).second || new_ones;
  }
  // A reading that runs is started again with the new ones.
  if (file.empty() || !new_ones) return;
  reader_.Start(file, std::move(missing),
                [this](TSegmentPictures::TPart part, std::shared_ptr<const TBitmap> first,
                       std::shared_ptr<const TBitmap> last) {
                  // Pictures taken from the marks meanwhile stay.
                  if (!pictures_.emplace(part, TPictures{Small(*first), Small(*last)}).second)
                    return;
                  Refresh(splitting_);
                });
}

void TSegmentPanel::TakePictures(size_t index) {
  const auto parts = segments_.Parts();
  if (index >= parts.size()) return;
  pictures_[parts[index]] = {Small(preview_.StartThumbnail), Small(preview_.EndThumbnail)};
}

QImage TSegmentPanel::RowIcon(const TPictures* pictures) const {
  QImage icon(list_->iconSize(), QImage::Format_RGB32);
  icon.fill(list_->palette().base().color());
  QPainter painter(&icon);
  for (int i = 0; i < 2; ++i) {
    const QRect slot(i * (kPicture.width() + 2), 0, kPicture.width(), kPicture.height());
    const QImage* image = pictures ? (i == 0 ? &pictures->First : &pictures->Last) : nullptr;
    if (!image || image->isNull()) {
      painter.fillRect(slot, QColor(40, 40, 40));
      continue;
    }
    QRect fitted(QPoint(0, 0), image->size());
    fitted.moveCenter(slot.center());
    painter.drawImage(fitted, *image);
  }
  return icon;
}

std::pair<QImage, QImage> TSegmentPanel::Pictures(size_t index) const {
  const auto parts = segments_.Parts();
  if (index >= parts.size()) return {};
  const auto found = pictures_.find(parts[index]);
  if (found == pictures_.end()) return {};
  return {found->second.First, found->second.Last};
}

void TSegmentPanel::Refresh(bool splitting) {
  splitting_ = splitting;
  const auto parts = segments_.Parts();
  const QSignalBlocker block(list_);
  // Rows are made again only when what they show changed.
  bool same = list_->count() == static_cast<int>(parts.size());
  for (size_t i = 0; same && i < parts.size(); ++i) {
    const QListWidgetItem* item = list_->item(static_cast<int>(i));
    const auto found = pictures_.find(parts[i]);
    const qint64 key = found == pictures_.end()
                           ? 0
                           : found->second.First.cacheKey() ^ (found->second.Last.cacheKey() << 1);
    same = item->text() == QString::fromStdString(segments_.SegmentText(i)) &&
           item->data(Qt::UserRole).toLongLong() == key;
  }
  if (!same) {
    list_->clear();
    for (size_t i = 0; i < parts.size(); ++i) {
      const auto found = pictures_.find(parts[i]);
      const TPictures* pictures = found == pictures_.end() ? nullptr : &found->second;
      auto* item = new QListWidgetItem(QIcon(QPixmap::fromImage(RowIcon(pictures))),
                                       QString::fromStdString(segments_.SegmentText(i)), list_);
      item->setData(Qt::UserRole, pictures ? pictures->First.cacheKey() ^
                                                 (pictures->Last.cacheKey() << 1)
                                           : qint64(0));
    }
  }
  ReadMissingPictures();
  const int selected = segments_.Selected();
  if (list_->currentRow() != selected) list_->setCurrentRow(selected);
  if (selected < 0) list_->clearSelection();
  const int count = static_cast<int>(parts.size());
  update_->setEnabled(!splitting && segments_.CanUpdate());
  remove_->setEnabled(!splitting && selected >= 0);
  rename_->setEnabled(!splitting && selected >= 0);
  up_->setEnabled(!splitting && selected > 0);
  down_->setEnabled(!splitting && selected >= 0 && selected < count - 1);
  QRadioButton* choice = segments_.Join() ? joined_ : one_per_segment_;
  if (!choice->isChecked()) {
    const QSignalBlocker block_choice(choice);
    const QSignalBlocker block_other(choice == joined_ ? one_per_segment_ : joined_);
    choice->setChecked(true);
  }
}

}  // namespace kelvane
