#pragma once

// The texts whose QR matrices must come out module for module the same on
// every system, and their matrices as text. The reference file
// reference-matrices.txt holds what the Linux build made of them; each
// system's test compares its own matrices with it.

#include <string>
#include <vector>

namespace qrtest {

// A few dozen texts: the program's URLs, numeric and alphanumeric runs,
// Latin-1 and non-Latin text (UTF-8 with its mark), and sizes near the
// version steps.
std::vector<std::u16string> ReferenceTexts();

// "#N ROWSxCOLUMNS" and then one line of "0"/"1" per row, for every text.
std::string MatricesAsText();

} // namespace qrtest
