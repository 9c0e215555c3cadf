#pragma once

// The dialog for choosing the files to publish: several files at once, a
// size the user can change, the window's three filters and a pane that shows
// the picture under the cursor. Previews decode off the GUI thread.

#include <QFileDialog>
#include <QThreadPool>
#include <optional>
#include <vector>

class QLabel;
class QSortFilterProxyModel;

class TPictureFileDialog : public QFileDialog {
    Q_OBJECT
  public:
    explicit TPictureFileDialog(QWidget* parent = nullptr);
    ~TPictureFileDialog() override;

    // The filters offered, in the Windows "text|patterns|..." form: each text
    // is shown as it stands and its patterns are what it lets through.
    static constexpr const char* Filter =
        "All Files (*.*)|*.*|Photos (*.jpg)|*.jpg;*.jpeg|Documents (*.doc, "
        "*.pdf)|*.doc;*docx;*.pdf";
    // The patterns the filter of that text applies ("*.*" takes every name).
    QStringList PatternsOf(const QString& text) const;
    // Shows the dialog modally; the chosen paths in the dialog's order, or
    // nothing when the user cancelled.
    std::optional<QStringList> Choose();
    static constexpr QSize PreviewSize{220, 220};

    // The file whose picture the pane shows; empty when it shows none.
    QString PreviewedFile() const { return previewed_; }

  signals:
    // The pane finished with a file: it shows its picture or, for a file that
    // is not a readable picture, nothing.
    void PreviewShown(const QString& path);

  private:
    struct NamedFilter {
        QString text;
        QStringList patterns;
    };
    void ApplyPatterns(const QString& text);
    void ShowPreview(const QString& path);
    void Deliver(const QString& path, const QImage& image);

    QLabel* preview_ = nullptr;
    QString wanted_;
    QString previewed_;
    QThreadPool pool_;
    std::vector<NamedFilter> filters_;
    QSortFilterProxyModel* proxy_ = nullptr;
};
