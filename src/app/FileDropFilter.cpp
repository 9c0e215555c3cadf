#include "app/FileDropFilter.h"

#include <QDropEvent>
#include <QMimeData>
#include <QWidget>

namespace {

// Files that came from outside: a drag started in this program (a published
// copy dragged from the file view, say) would withdraw the very file it
// carries before copying it.
appcore::TDroppedFiles OutsideFiles(const QDropEvent& event) {
    if (event.source() != nullptr || event.mimeData() == nullptr)
        return {};
    return appcore::FilesFromMimeData(*event.mimeData());
}

} // namespace

TFileDropFilter::TFileDropFilter(DropHandler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

void TFileDropFilter::Watch(QWidget* widget) {
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
}

bool TFileDropFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        // A copy: the files stay where the file manager has them.
        if (!OutsideFiles(*drag).files.isEmpty() && (drag->possibleActions() & Qt::CopyAction)) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const appcore::TDroppedFiles dropped = OutsideFiles(*drop);
        if (dropped.files.isEmpty()) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (handler_)
            handler_(dropped, qobject_cast<QWidget*>(watched));
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}
