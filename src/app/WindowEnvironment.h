#pragma once

// Process-wide settings the window relies on, applied once by the program
// entry (and by the window tests, which must see the same window).

// Before the application object exists: the window is laid out in pixels for
// 96 DPI and must keep its pixel sizes on a screen with a higher setting, so
// Qt's scaling by device pixel ratio is switched off.
void PrepareFixedPixelLayout();

// After the application object exists: "Segoe UI" falls back to Open Sans,
// then Noto Sans; "Segoe UI Semibold" to the real Open Sans Semibold face.
void InstallFontSubstitutions();
