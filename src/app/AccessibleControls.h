#pragma once

// What assistive tools (screen readers, switch access) see of the window's own
// controls: the tiles as buttons, the navigation tiles as page tabs, the QR
// codes as pictures with a menu, the click labels as links or buttons. Each
// offers the action a click or its keys would do.

// Makes Qt describe TTileButton, TQRPaintBox and TClickLabel this way; does
// its work once per process, however often it is called.
void InstallAccessibleControls();
