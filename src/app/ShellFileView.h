#pragma once

// A view of one folder as large icons with thumbnails for pictures, arranged
// by itself and kept current as files come and go. Hidden files never show;
// sub-folders show only when asked for. Nothing is listed until a folder is
// set.

#include <QListView>
#include <functional>
#include <memory>

class QFileSystemModel;
class QAbstractFileIconProvider;
class TThumbnailModel;

class TShellFileView : public QListView {
    Q_OBJECT
  public:
    enum class Folders { Hide, Show };

    explicit TShellFileView(Folders folders, QWidget* parent = nullptr);
    ~TShellFileView() override;

    // Shows the folder at path, sorted by the type column (index 2).
    void SetFolder(const QString& path);
    // The folder shown; empty before the first SetFolder.
    QString Folder() const { return folder_; }
    // Names of the entries shown, in display order.
    QStringList ShownNames() const;
    // The model that supplies the icons (for waiting on thumbnails).
    TThumbnailModel* Thumbnails() const { return thumbnails_.get(); }

    // Called with the full path of an item the user opens (double-click, Enter).
    std::function<void(const QString&)> OpenHandler;

    // The box every icon is drawn in; wider than high so that names under the
    // icons have room.
    static constexpr QSize IconBox{120, 96};
    // Column the view sorts by: the file type.
    static constexpr int SortColumn = 2;

  private:
    class THiddenFilter;

    void CreateModels();
    void OpenItem(const QModelIndex& index);

    Folders folders_;
    QString folder_;
    // Declared so that each outlives what is built on it.
    std::unique_ptr<QAbstractFileIconProvider> iconProvider_;
    std::unique_ptr<QFileSystemModel> fsModel_;
    std::unique_ptr<TThumbnailModel> thumbnails_;
    std::unique_ptr<THiddenFilter> filter_;
};
