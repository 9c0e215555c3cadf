#pragma once

// The files a drag from a file manager or a file manager's copy carries, as
// the list of paths the open-file dialog would return.

#include <QStringList>

class QMimeData;

namespace appcore {

struct TDroppedFiles {
    // Local paths that are not folders, in the order given; a path that names
    // nothing is kept, as a name typed into the dialog is.
    QStringList files;
    // Folders given: passed over, their content not expanded.
    int foldersPassedOver = 0;
};

// Reads text/uri-list, else GNOME's x-special/gnome-copied-files ("copy" or
// "cut", then one URL a line). Only file: URLs count; web links and other
// schemes are left out.
TDroppedFiles FilesFromMimeData(const QMimeData& data);

// The note label's tooltip after a drop or a paste: why folders did not go
// to the phone; empty when none was passed over.
QString FoldersPassedOverText(int folders);

} // namespace appcore
