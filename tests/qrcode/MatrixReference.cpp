#include "MatrixReference.h"

#include "qrcode/QRCodeMatrix.h"

namespace qrtest {

std::vector<std::u16string> ReferenceTexts() {
    std::vector<std::u16string> texts = {
        u"http://192.168.1.5:8016/u/abcdef.html",
        u"http://192.168.1.5:8016/d/abcdef.html",
        u"http://10.0.0.254:8016/u/zyxwvu.html",
        u"http://172.16.31.200:8016/d/qwerty.html",
        u"https://relay.tessary.example/r/u/3/abcdef",
        u"http://198.51.100.7:8016/u/mnbvcx.html",
        u"0",
        u"12345678901234567890",
        u"HELLO WORLD $%*+-./:",
        u"Hello, World!",
        u"a",
        u"The quick brown fox jumps over the lazy dog",
        u"caf\u00e9 cr\u00e8me br\u00fbl\u00e9e",            // Latin-1, one byte each
        u"\u00c4\u00d6\u00dc\u00e4\u00f6\u00fc\u00df",       // Latin-1 only
        u"\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8", // CJK: UTF-8 with mark
        u"\u041f\u0440\u0438\u0432\u0435\u0442",             // Cyrillic
        u"emoji \U0001F600 beyond the basic plane",
        u"mixed 123 ABC abc \u20ac",
        u"\t tab and\nnewline\r\n",
        u"https://www.tessary.example/r/?rid=website&vid=310&bid=191006",
    };
    // Lengths around the version steps of level L in byte mode.
    for (int length : {14, 15, 16, 17, 25, 26, 27, 41,  42,  43,  52,
                       53, 54, 62, 63, 64, 84, 85, 106, 107, 134, 135}) {
        std::u16string text;
        for (int i = 0; i < length; ++i)
            text += static_cast<char16_t>(u'a' + (i * 7) % 26);
        texts.push_back(text);
    }
    return texts;
}

std::string MatricesAsText() {
    std::string out;
    const auto texts = ReferenceTexts();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        qrcode::TQRCodeMatrix matrix;
        matrix.SetData(texts[i]);
        out += "#" + std::to_string(i) + " " + std::to_string(matrix.Rows()) + "x" +
               std::to_string(matrix.Columns()) + "\n";
        for (int row = 0; row < matrix.Rows(); ++row) {
            for (int column = 0; column < matrix.Columns(); ++column)
                out += matrix.ModuleIsDark(row, column) ? '1' : '0';
            out += '\n';
        }
    }
    return out;
}

} // namespace qrtest
