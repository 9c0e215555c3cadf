#pragma once

// Process-wide settings the window relies on, applied once by the program
// entry (and by the window tests, which must see the same window).

#include <QByteArray>
#include <optional>

// The start values of the environment variables the window sets for itself.
struct TStartEnvironment {
    std::optional<QByteArray> highDpiScaling; // QT_ENABLE_HIGHDPI_SCALING
};

// Before the application object exists: the window is laid out in pixels for
// 96 DPI and must keep its pixel sizes on a screen with a higher setting, so
// Qt's scaling by device pixel ratio is switched off. Returns what the
// environment held before.
TStartEnvironment PrepareFixedPixelLayout();

// Once the application object exists: gives the variables back their start
// values, so the programs the window starts (the engine, the file manager,
// the browser) get the environment the program was started with.
void RestoreStartEnvironment(const TStartEnvironment& start);

// After the application object exists: "Segoe UI" falls back to Open Sans,
// then Noto Sans; "Segoe UI Semibold" to the real Open Sans Semibold face.
void InstallFontSubstitutions();
