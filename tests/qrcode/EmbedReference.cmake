# Writes the reference matrices into a source file, so the test program
# carries them and finds them on any system.
file(READ "${INPUT}" content)
file(WRITE "${OUTPUT}" "extern const char* const ReferenceMatrices;\nconst char* const ReferenceMatrices = R\"REF(${content})REF\";\n")
