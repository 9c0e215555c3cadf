#include "app/ShellFileView.h"

#include "app/ThumbnailModel.h"
#include "platform/platform.h"

#include <QAbstractFileIconProvider>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

namespace {

// The file model asks for a type text for every file, off the GUI thread.
// The default consults the MIME database (and may read the file); this one
// names the extension, as the desktop's file lists do, and draws no icons:
// TThumbnailModel supplies every icon on the GUI thread.
class TCheapIconProvider : public QAbstractFileIconProvider {
  public:
    QIcon icon(IconType) const override { return {}; }
    QIcon icon(const QFileInfo&) const override { return {}; }
    QString type(const QFileInfo& info) const override {
        if (info.isDir())
            return QStringLiteral("File folder");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("File")
                                : suffix.toUpper() + QStringLiteral(" File");
    }
};

} // namespace

// Hides what the platform calls hidden (a dot name or the hidden attribute)
// and, where asked, folders: only among the shown folder's own entries, so the
// chain of folders leading to it stays reachable.
class TShellFileView::THiddenFilter : public QSortFilterProxyModel {
  public:
    THiddenFilter(bool showFolders, QObject* parent)
        : QSortFilterProxyModel(parent), showFolders_(showFolders) {}

    void SetRoot(const QModelIndex& sourceRoot) {
        root_ = sourceRoot;
        invalidateFilter();
    }

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (!root_.isValid() || parent != root_)
            return true;
        const QModelIndex idx = sourceModel()->index(row, 0, parent);
        const QString path = sourceModel()->data(idx, QFileSystemModel::FilePathRole).toString();
        const auto attributes = platform::GetAttributes(path.toStdString());
        if (!attributes)
            return false; // gone already
        if (*attributes & platform::AttrHidden)
            return false;
        return showFolders_ || !(*attributes & platform::AttrDirectory);
    }

  private:
    bool showFolders_;
    QPersistentModelIndex root_;
};

TShellFileView::TShellFileView(Folders folders, QWidget* parent)
    : QListView(parent), folders_(folders) {
    setViewMode(QListView::IconMode);
    setIconSize(IconBox);
    setGridSize(IconBox + QSize(16, 48));
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setWordWrap(true);
    setTextElideMode(Qt::ElideMiddle);
    // Every item has the same box: the layout never asks for each icon.
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionRectVisible(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QListView::activated, this, &TShellFileView::OpenItem);
}

TShellFileView::~TShellFileView() {
    // The view lets go of the models before they go.
    setModel(nullptr);
}

void TShellFileView::CreateModels() {
    iconProvider_ = std::make_unique<TCheapIconProvider>();
    fsModel_ = std::make_unique<QFileSystemModel>();
    fsModel_->setIconProvider(iconProvider_.get());
    fsModel_->setReadOnly(true);
    // Hidden entries are judged by THiddenFilter (the platform's rule), so the
    // model lists everything and resolves its chain of folders freely.
    fsModel_->setFilter(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    fsModel_->setResolveSymlinks(false);
    thumbnails_ = std::make_unique<TThumbnailModel>(fsModel_.get(), iconSize());
    filter_ = std::make_unique<THiddenFilter>(folders_ == Folders::Show, nullptr);
    // Order comes from the file model; the filter only filters.
    filter_->setDynamicSortFilter(false);
    filter_->setSourceModel(thumbnails_.get());
    setModel(filter_.get());
}

void TShellFileView::SetFolder(const QString& path) {
    if (!fsModel_)
        CreateModels();
    QString clean = QDir::cleanPath(path);
    folder_ = path;
    const QModelIndex fsRoot = fsModel_->setRootPath(clean);
    const QModelIndex thumbRoot = thumbnails_->mapFromSource(fsRoot);
    filter_->SetRoot(thumbRoot);
    setRootIndex(filter_->mapFromSource(thumbRoot));
    fsModel_->sort(SortColumn, Qt::AscendingOrder);
}

QStringList TShellFileView::ShownNames() const {
    QStringList names;
    if (!filter_)
        return names;
    const QModelIndex root = rootIndex();
    for (int row = 0; row < filter_->rowCount(root); ++row)
        names << filter_->index(row, 0, root).data(Qt::DisplayRole).toString();
    return names;
}

void TShellFileView::OpenItem(const QModelIndex& index) {
    if (!OpenHandler || !index.isValid())
        return;
    OpenHandler(index.data(QFileSystemModel::FilePathRole).toString());
}
