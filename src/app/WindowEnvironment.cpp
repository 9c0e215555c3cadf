#include "app/WindowEnvironment.h"

#include <QFont>
#include <QStringList>

namespace {
constexpr const char* HighDpiScaling = "QT_ENABLE_HIGHDPI_SCALING";
}

TStartEnvironment PrepareFixedPixelLayout() {
    TStartEnvironment start;
    if (qEnvironmentVariableIsSet(HighDpiScaling))
        start.highDpiScaling = qgetenv(HighDpiScaling);
    // Qt 6 has no attribute for this any more; the variable is still honoured
    // and must be set before the first screen is created, which reads it
    // once. A scale factor the user asked for explicitly (QT_SCALE_FACTOR) is
    // left alone.
    qputenv(HighDpiScaling, "0");
    return start;
}

void RestoreStartEnvironment(const TStartEnvironment& start) {
    if (start.highDpiScaling)
        qputenv(HighDpiScaling, *start.highDpiScaling);
    else
        qunsetenv(HighDpiScaling);
}

void InstallFontSubstitutions() {
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
                               {QStringLiteral("Open Sans"), QStringLiteral("Noto Sans")});
    QFont::insertSubstitutions(QStringLiteral("Segoe UI Semibold"),
                               {QStringLiteral("Open Sans Semibold"), QStringLiteral("Noto Sans")});
}
