// The real window for the accessibility test: started by accessibility_test.py
// under Xvfb with Qt's AT-SPI bridge, with the real dialogs. Only what would
// leave the machine is replaced: the update check asks a closed loopback port,
// and what the desktop would open is written, one line each, to the file
// TESSARY_OPENED_LOG names.

#include "app/MainUnit.h"
#include "app/StopRequests.h"
#include "app/WindowEnvironment.h"

#include <QApplication>
#include <QFile>

int main(int argc, char* argv[]) {
    const TStartEnvironment start = PrepareFixedPixelLayout();
    QApplication app(argc, argv);
    RestoreStartEnvironment(start);
    InstallFontSubstitutions();
    // SIGTERM closes the window as its Close tile does, as in the program.
    const TStopRequests stopRequests(app);

    TMainFormHooks hooks;
    hooks.UpdateBaseUrl = "http://127.0.0.1:9";
    const QString openedLog = qEnvironmentVariable("TESSARY_OPENED_LOG");
    hooks.OpenWithShell = [openedLog](const std::string& target) {
        QFile log(openedLog);
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write(QByteArray::fromStdString(target) + '\n');
    };
    TMainForm form(std::move(hooks));
    form.show();
    // No window manager runs on the test's display to give it the focus.
    form.activateWindow();
    return app.exec();
}
