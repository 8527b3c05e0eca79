# Writes the bytes of IN as a C++ array named NAME into OUT, so that the
# program carries the file in itself: cmake -DIN=... -DOUT=... -DNAME=... -P embed.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.\n#include <cstddef>\n\nnamespace quarn {\nextern const unsigned char ${NAME}[];\nextern const std::size_t ${NAME}_size;\nconst unsigned char ${NAME}[] = {\n  ${bytes}\n};\nconst std::size_t ${NAME}_size = ${size};\n}  // namespace quarn\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
