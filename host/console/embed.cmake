# Writes the bytes of IN into OUT as the C++ array kivhost::kConsolePage.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUT}" "// Made from host/console/index.html at build time.\n"
  "#include \"host/console_page.h\"\n"
  "namespace kivhost {\n"
  "extern const char kConsolePage[] = {${bytes} '\\0'};\n"
  "extern const size_t kConsolePageSize = ${size};\n"
  "}  // namespace kivhost\n")
