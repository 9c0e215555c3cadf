// Writes the reference matrices (tests/qrcode/reference-matrices.txt) as
// this build makes them: qrcode_matrix_dump > reference-matrices.txt

#include "MatrixReference.h"

#include <iostream>

int main() {
    std::cout << qrtest::MatricesAsText();
    return std::cout ? 0 : 1;
}
