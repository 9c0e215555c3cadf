#pragma once

// A QR symbol of a text, module by module, with the quiet zone counted in.
// Encoded at error-correction level L in the mode the text allows (numeric,
// alphanumeric, else byte), the smallest version that holds it, the mask of
// lowest penalty and no ECI segment. No Qt here; the encoder stays in the .cpp.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qrcode {

// The module grid: an array of columns, each an array of rows; true = dark.
using T2DBooleanArray = std::vector<std::vector<bool>>;

// How the text becomes symbol data; automatic is the only choice.
enum class TQREncoding : std::uint8_t { Automatic = 0 };

// The encoder refused the text (it does not fit the largest symbol).
class QRCodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TQRCodeMatrix {
  public:
    static constexpr int DefaultQuietZone = 4;
    static constexpr int MaxQuietZone = 100;

    // The text to encode. A changed text re-encodes; an empty one leaves no
    // symbol (0 x 0). Throws QRCodeError, changing nothing, when the text
    // does not fit the largest symbol.
    const std::u16string& Data() const { return data_; }
    void SetData(const std::u16string& data);

    TQREncoding Encoding() const { return encoding_; }
    void SetEncoding(TQREncoding encoding);

    // Modules of white border on every side; widths below 0 or above 100
    // are ignored.
    int QuietZone() const { return quietZone_; }
    void SetQuietZone(int width);

    // Side of the symbol plus twice the quiet zone; 0 without a symbol.
    int Rows() const { return rows_; }
    int Columns() const { return columns_; }
    // True for a dark module; false in the quiet zone and outside.
    bool ModuleIsDark(int row, int column) const;

    // How many times a symbol was encoded, so that callers can see that an
    // unchanged setting costs nothing.
    int EncodeCount() const { return encodeCount_; }

  private:
    void Update();

    std::u16string data_;
    int rows_ = 0;
    int columns_ = 0;
    TQREncoding encoding_ = TQREncoding::Automatic;
    int quietZone_ = DefaultQuietZone;
    T2DBooleanArray modules_;
    int encodeCount_ = 0;
};

// The one-character-per-byte text handed to the encoder: the character codes
// when all lie below U+0100, else EF BB BF and the UTF-8 form (an unpaired
// surrogate becomes U+FFFD).
std::u32string EncoderInput(const std::u16string& text);

} // namespace qrcode
