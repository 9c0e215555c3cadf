#include "app/WindowEnvironment.h"

#include <QByteArray>
#include <QFont>
#include <QStringList>

void PrepareFixedPixelLayout() {
    // Qt 6 has no attribute for this any more; the variable is still honoured
    // and must be set before the first screen is created. A scale factor the
    // user asked for explicitly (QT_SCALE_FACTOR) is left alone.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
}

void InstallFontSubstitutions() {
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
                               {QStringLiteral("Open Sans"), QStringLiteral("Noto Sans")});
    QFont::insertSubstitutions(QStringLiteral("Segoe UI Semibold"),
                               {QStringLiteral("Open Sans Semibold"), QStringLiteral("Noto Sans")});
}
