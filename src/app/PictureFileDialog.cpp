#include "app/PictureFileDialog.h"

#include "app/ThumbnailModel.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QSortFilterProxyModel>

TPictureFileDialog::TPictureFileDialog(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("DOpen"));
    // The preview pane needs Qt's own dialog: a desktop dialog cannot hold it.
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setSizeGripEnabled(true);

    // Qt takes a filter's patterns from the brackets of its text, which here
    // do not say what the filter means ("*.*" would hide names without a dot,
    // "*.jpeg" is not in the text). A pass-through proxy gives access to the
    // dialog's own file model, whose name filters are set to the real ones.
    proxy_ = new QSortFilterProxyModel(this);
    setProxyModel(proxy_);
    const QStringList parts = QString::fromLatin1(Filter).split(u'|');
    QStringList texts;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(u';', Qt::SkipEmptyParts))
            patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
        filters_.push_back({parts[i], patterns});
        texts << parts[i];
    }
    setNameFilters(texts);
    selectNameFilter(texts.front());
    connect(this, &QFileDialog::filterSelected, this, &TPictureFileDialog::ApplyPatterns);
    ApplyPatterns(texts.front());

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

QStringList TPictureFileDialog::PatternsOf(const QString& text) const {
    for (const NamedFilter& filter : filters_)
        if (filter.text == text)
            return filter.patterns;
    return {};
}

std::optional<QStringList> TPictureFileDialog::Choose() {
    if (exec() != QDialog::Accepted)
        return std::nullopt;
    return selectedFiles();
}

void TPictureFileDialog::ApplyPatterns(const QString& text) {
    // Runs after the dialog has applied the text's own patterns.
    if (auto* model = qobject_cast<QFileSystemModel*>(proxy_->sourceModel()))
        model->setNameFilters(PatternsOf(text));
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
