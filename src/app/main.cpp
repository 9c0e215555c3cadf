// The program entry: the application object, then the main window, whose
// creation starts the run.

#include "app/MainUnit.h"
#include "app/StopRequests.h"
#include "app/WindowEnvironment.h"
#include "app/art/ArtResources.h"
#include "util/HTMTemplateUnit.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    // The file-entry HTML is built once, before anything else of the run.
    htmtemplate::FileEntryTemplate();
    const TStartEnvironment startEnvironment = PrepareFixedPixelLayout();
    QApplication app(argc, argv);
    RestoreStartEnvironment(startEnvironment);
    QApplication::setApplicationName(QStringLiteral("Tessary"));
    // The desktop entry's name lets a Wayland shell match the window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("tessary"));
    QIcon icon;
    for (const auto& picture : tessary::art::programIcons())
        icon.addFile(QString::fromLatin1(picture.path), picture.size);
    QApplication::setWindowIcon(icon);
    InstallFontSubstitutions();
    // A stop request closes the window as its Close tile does; made before
    // the window, so it is still there while the window cleans up.
    const TStopRequests stopRequests(app);

    // The one top-level window, so it alone stands for the program in the
    // taskbar; the run ends when it closes and is destroyed after the loop.
    TMainForm form;
    form.show();
    return app.exec();
}
