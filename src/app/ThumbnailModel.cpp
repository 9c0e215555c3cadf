#include "app/ThumbnailModel.h"

#include <QFileSystemModel>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace {

// Thumbnails kept, counted in kilobytes of pixels (about 2500 of 96 x 96).
constexpr int CacheKilobytes = 96 * 1024;

// A sheet of paper with a folded corner and the extension written on it.
QPixmap DrawDocumentIcon(QSize box, const QString& suffix) {
    QPixmap pix(box);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal h = box.height() * 0.86;
    const qreal w = h * 0.76;
    const QRectF sheet((box.width() - w) / 2, (box.height() - h) / 2, w, h);
    const qreal fold = w * 0.28;
    QPainterPath outline;
    outline.moveTo(sheet.topLeft());
    outline.lineTo(sheet.right() - fold, sheet.top());
    outline.lineTo(sheet.right(), sheet.top() + fold);
    outline.lineTo(sheet.bottomRight());
    outline.lineTo(sheet.bottomLeft());
    outline.closeSubpath();
    p.setPen(QPen(QColor(0x9A, 0xA5, 0xB1), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(outline);
    QPainterPath corner;
    corner.moveTo(sheet.right() - fold, sheet.top());
    corner.lineTo(sheet.right() - fold, sheet.top() + fold);
    corner.lineTo(sheet.right(), sheet.top() + fold);
    p.setBrush(QColor(0xE3, 0xE8, 0xED));
    p.drawPath(corner);
    if (!suffix.isEmpty()) {
        const QRectF band(sheet.left() - 4, sheet.top() + h * 0.55, w * 0.8, h * 0.2);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x00, 0x78, 0xD7));
        p.drawRect(band);
        QFont f = p.font();
        f.setPixelSize(std::max(8, static_cast<int>(band.height() * 0.62)));
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::white);
        const QString label = suffix.left(5).toUpper();
        p.drawText(band, Qt::AlignCenter,
                   QFontMetrics(f).elidedText(label, Qt::ElideRight, int(band.width()) - 2));
    }
    return pix;
}

QPixmap DrawFolderIcon(QSize box) {
    QPixmap pix(box);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = box.width() * 0.86;
    const qreal h = w * 0.72;
    const QRectF body((box.width() - w) / 2, (box.height() - h) / 2 + h * 0.08, w, h * 0.86);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE8, 0xB9, 0x3C));
    p.drawRoundedRect(QRectF(body.left(), body.top() - h * 0.12, w * 0.42, h * 0.2), 3, 3);
    p.setBrush(QColor(0xF8, 0xD7, 0x75));
    p.drawRoundedRect(body, 4, 4);
    return pix;
}

// The picture centred in a transparent square, so every item lines up.
QPixmap Framed(const QImage& image, QSize box) {
    QPixmap pix(box);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    const QPoint at((box.width() - image.width()) / 2, (box.height() - image.height()) / 2);
    p.drawImage(at, image);
    p.setPen(QColor(0, 0, 0, 40));
    p.drawRect(QRect(at, image.size()).adjusted(0, 0, -1, -1));
    return pix;
}

} // namespace

TThumbnailModel::TThumbnailModel(QFileSystemModel* source, QSize iconSize, QObject* parent)
    : QIdentityProxyModel(parent), fs_(source), iconSize_(iconSize), cache_(CacheKilobytes) {
    setSourceModel(source);
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        pictureSuffixes_.insert(QString::fromLatin1(format).toLower());
    // Leave a core to the GUI thread on small machines.
    pool_.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
}

TThumbnailModel::~TThumbnailModel() {
    // Decodes refer to this model: none may outlive it.
    pool_.clear();
    pool_.waitForDone();
}

bool TThumbnailModel::IsPictureName(const QString& fileName) const {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot >= 0 && pictureSuffixes_.contains(fileName.mid(dot + 1).toLower());
}

QImage TThumbnailModel::DecodeThumbnail(const QString& path, QSize box) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > box.width() || full.height() > box.height()))
        reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull())
        return {};
    // Orientation may swap the sides after scaling; fit the box once more.
    if (image.width() > box.width() || image.height() > box.height())
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QVariant TThumbnailModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DecorationRole || index.column() != 0)
        return QIdentityProxyModel::data(index, role);
    const QModelIndex src = mapToSource(index);
    const QFileInfo info = fs_->fileInfo(src);
    if (info.isDir() || !IsPictureName(info.fileName()))
        return GenericIcon(src);
    const QString path = info.absoluteFilePath();
    if (const Entry* e = cache_.object(path);
        e && e->size == info.size() && e->modified == info.lastModified()) {
        return e->pixmap.isNull() ? QVariant(GenericIcon(src)) : QVariant(e->pixmap);
    }
    Request(path, info.size(), info.lastModified());
    return GenericIcon(src);
}

bool TThumbnailModel::HasThumbnail(const QString& path) const {
    const QFileInfo info(path);
    const Entry* e = cache_.object(info.absoluteFilePath());
    return e && !e->pixmap.isNull() && e->size == info.size() && e->modified == info.lastModified();
}

QPixmap TThumbnailModel::GenericIcon(const QModelIndex& sourceIndex) const {
    const QFileInfo info = fs_->fileInfo(sourceIndex);
    const QString key = info.isDir() ? QStringLiteral("/") : info.suffix().toLower();
    auto it = genericIcons_.constFind(key);
    if (it != genericIcons_.constEnd())
        return *it;
    const QPixmap pix =
        info.isDir() ? DrawFolderIcon(iconSize_) : DrawDocumentIcon(iconSize_, info.suffix());
    genericIcons_.insert(key, pix);
    return pix;
}

void TThumbnailModel::Request(const QString& path, qint64 size, const QDateTime& modified) const {
    if (pending_.contains(path))
        return;
    pending_.insert(path);
    auto* self = const_cast<TThumbnailModel*>(this);
    const QSize box = iconSize_;
    pool_.start([self, decode = decoder_, path, size, modified, box] {
        QImage image = decode(path, box);
        QMetaObject::invokeMethod(
            self,
            [self, path, size, modified, image = std::move(image)] {
                self->Deliver(path, size, modified, image);
            },
            Qt::QueuedConnection);
    });
}

void TThumbnailModel::Deliver(const QString& path, qint64 size, const QDateTime& modified,
                              const QImage& image) {
    pending_.remove(path);
    auto entry = std::make_unique<Entry>();
    entry->size = size;
    entry->modified = modified;
    if (!image.isNull())
        entry->pixmap = Framed(image, iconSize_);
    const int cost = std::max(1, iconSize_.width() * iconSize_.height() * 4 / 1024);
    cache_.insert(path, entry.release(), cost);

    const QModelIndex src = fs_->index(path);
    if (src.isValid()) {
        const QModelIndex idx = mapFromSource(src);
        emit dataChanged(idx, idx, {Qt::DecorationRole});
    }
    emit ThumbnailReady(path);
}
