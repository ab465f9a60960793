#include "gui/QtPreviewer.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "app/WindowLinks.h"

namespace kelvane {

class TPreviewWindow : public QWidget {
 public:
  explicit TPreviewWindow(std::shared_ptr<std::atomic<bool>> closed)
      : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowCloseButtonHint |
                             Qt::WindowTitleHint),
        closed_(std::move(closed)) {
    setObjectName(QStringLiteral("PreviewWindow"));
    setAttribute(Qt::WA_DeleteOnClose, false);
  }

  void Show(const TBitmap& bitmap, const QString& caption) {
    {
      std::lock_guard<std::mutex> lock(bitmap.Lock);
      image_ = QImage(bitmap.Pixels.data(), bitmap.Width, bitmap.Height, bitmap.Stride,
                      QImage::Format_BGR888)
                   .copy();
    }
    if (!isVisible()) {
      setFixedSize(image_.size());
      if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
      }
      show();
    }
    setWindowTitle(caption);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(0, 0, image_);
  }
  void closeEvent(QCloseEvent* event) override {
    *closed_ = true;
    event->accept();
  }
  void mousePressEvent(QMouseEvent* event) override {
    // The window is dragged by any point, not only by its caption.
    if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
      windowHandle()->startSystemMove();
    }
  }

 private:
  std::shared_ptr<std::atomic<bool>> closed_;
  QImage image_;
};

void TQtPreviewer::Install() {
  InstallPreviewWindows([] { return std::make_shared<TQtPreviewer>(); });
}

TQtPreviewer::~TQtPreviewer() {
  if (window_ == nullptr) return;
  TPreviewWindow* window = window_;
  PostToMainThread([window] { delete window; });
}

void TQtPreviewer::ShowStep(const TBitmap& bitmap, int64_t, int64_t time) {
  if (*window_closed_) {
    Close();
    return;
  }
  if (window_ == nullptr) window_ = new TPreviewWindow(window_closed_);
  window_->Show(bitmap, QString::fromStdString(PreviewCaption(time)));
}

}  // namespace kelvane
