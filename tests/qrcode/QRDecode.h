#pragma once

// Reads a QR code back from pixels with zxing-cpp's reader, independent of
// the writer path under test.

#include <QImage>
#include <string>

struct QRDecodeResult {
    bool valid = false;
    std::string text;  // as the reader interprets the bytes
    std::string bytes; // the raw data bytes of the symbol
    bool hasEci = false;
    std::string ecLevel;   // "L", "M", "Q" or "H"
    std::string symbology; // "]Q1" for a model-2 QR code without ECI
    bool mirrored = false; // read only after mirroring (a transposed grid)
};

QRDecodeResult DecodeQR(const QImage& image);
