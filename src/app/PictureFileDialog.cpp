#include "app/PictureFileDialog.h"

#include "app/ThumbnailModel.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>

TPictureFileDialog::TPictureFileDialog(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("DOpen"));
    // The preview pane needs Qt's own dialog: a desktop dialog cannot hold it.
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setNameFilters(Filters());
    selectNameFilter(Filters().front());
    setSizeGripEnabled(true);

    preview_ = new QLabel(this);
    preview_->setObjectName(QStringLiteral("DOpenPreview"));
    preview_->setFixedSize(PreviewSize);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setFrameShape(QFrame::StyledPanel);
    if (auto* grid = qobject_cast<QGridLayout*>(layout()))
        grid->addWidget(preview_, 0, grid->columnCount(), grid->rowCount(), 1, Qt::AlignTop);
    connect(this, &QFileDialog::currentChanged, this, &TPictureFileDialog::ShowPreview);
    pool_.setMaxThreadCount(1);
}

TPictureFileDialog::~TPictureFileDialog() {
    // Decodes refer to this dialog: none may outlive it.
    pool_.clear();
    pool_.waitForDone();
}

QStringList TPictureFileDialog::Filters() {
    // "All Files" takes every name, with or without an extension.
    return {QStringLiteral("All Files (*)"), QStringLiteral("Photos (*.jpg *.jpeg)"),
            QStringLiteral("Documents (*.doc *docx *.pdf)")};
}

void TPictureFileDialog::ShowPreview(const QString& path) {
    wanted_ = path;
    preview_->clear();
    previewed_.clear();
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return;
    pool_.start([this, path] {
        QImage image = TThumbnailModel::DecodeThumbnail(path, PreviewSize - QSize(8, 8));
        QMetaObject::invokeMethod(
            this, [this, path, image = std::move(image)] { Deliver(path, image); },
            Qt::QueuedConnection);
    });
}

void TPictureFileDialog::Deliver(const QString& path, const QImage& image) {
    if (path != wanted_)
        return; // the cursor moved on meanwhile
    if (!image.isNull()) {
        preview_->setPixmap(QPixmap::fromImage(image));
        previewed_ = path;
    }
    emit PreviewShown(path);
}
