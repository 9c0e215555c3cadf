#pragma once

// Gives every file of a QFileSystemModel its large icon: a thumbnail for
// pictures, a drawn document or folder icon for the rest. Pictures are
// decoded small on a thread pool, never on the GUI thread, and cached by
// path, size and modification time; until a thumbnail is ready the file shows
// its document icon.

#include <QCache>
#include <QDateTime>
#include <QHash>
#include <QIdentityProxyModel>
#include <QImage>
#include <QPixmap>
#include <QSet>
#include <QSize>
#include <QThreadPool>
#include <functional>

class QFileSystemModel;

class TThumbnailModel : public QIdentityProxyModel {
    Q_OBJECT
  public:
    explicit TThumbnailModel(QFileSystemModel* source, QSize iconSize, QObject* parent = nullptr);
    ~TThumbnailModel() override;

    QVariant data(const QModelIndex& index, int role) const override;

    QSize IconSize() const { return iconSize_; }
    // True when the thumbnail of the file at path is cached for its current
    // size and modification time.
    bool HasThumbnail(const QString& path) const;
    // Decodes still queued or running.
    int PendingCount() const { return static_cast<int>(pending_.size()); }

    // Reads the picture at path scaled to fit box, at the reader's reduced
    // resolution where the format offers one. Null when it cannot be read.
    static QImage DecodeThumbnail(const QString& path, QSize box);

    // What the pool threads call to read a picture: DecodeThumbnail unless
    // replaced (tests watch where and when decoding happens). Thumbnails
    // asked for afterwards use it.
    using Decoder = std::function<QImage(const QString& path, QSize box)>;
    void SetDecoder(Decoder decoder) { decoder_ = std::move(decoder); }

  signals:
    // A thumbnail was decoded (or found undecodable) and handed to the view.
    void ThumbnailReady(const QString& path);

  private:
    struct Entry {
        qint64 size = 0;
        QDateTime modified;
        QPixmap pixmap; // null: the file is not a readable picture
    };

    QPixmap GenericIcon(const QModelIndex& sourceIndex) const;
    void Request(const QString& path, qint64 size, const QDateTime& modified) const;
    void Deliver(const QString& path, qint64 size, const QDateTime& modified, const QImage& image);
    bool IsPictureName(const QString& fileName) const;

    QFileSystemModel* fs_;
    QSize iconSize_;
    QSet<QString> pictureSuffixes_;
    // Rendering and caching happen on the GUI thread inside const data().
    mutable QCache<QString, Entry> cache_;
    mutable QHash<QString, QPixmap> genericIcons_;
    mutable QSet<QString> pending_;
    Decoder decoder_ = &TThumbnailModel::DecodeThumbnail;
    mutable QThreadPool pool_;
};
