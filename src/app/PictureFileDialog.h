#pragma once

// The dialog for choosing the files to publish: several files at once, a
// size the user can change, the window's three filters and a pane that shows
// the picture under the cursor. Previews decode off the GUI thread.

#include <QFileDialog>
#include <QThreadPool>

class QLabel;

class TPictureFileDialog : public QFileDialog {
    Q_OBJECT
  public:
    explicit TPictureFileDialog(QWidget* parent = nullptr);
    ~TPictureFileDialog() override;

    // The filters offered, the first one chosen at start.
    static QStringList Filters();
    static constexpr QSize PreviewSize{220, 220};

    // The file whose picture the pane shows; empty when it shows none.
    QString PreviewedFile() const { return previewed_; }

  signals:
    // The pane finished with a file: it shows its picture or, for a file that
    // is not a readable picture, nothing.
    void PreviewShown(const QString& path);

  private:
    void ShowPreview(const QString& path);
    void Deliver(const QString& path, const QImage& image);

    QLabel* preview_ = nullptr;
    QString wanted_;
    QString previewed_;
    QThreadPool pool_;
};
