// The program entry: the application object, then the main window, whose
// creation starts the run.

#include "app/MainUnit.h"
#include "app/WindowEnvironment.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    PrepareFixedPixelLayout();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessary"));
    InstallFontSubstitutions();

    // The one top-level window, so it alone stands for the program in the
    // taskbar; the run ends when it closes and is destroyed after the loop.
    TMainForm form;
    form.show();
    return app.exec();
}
