# Writes a text file into a C++ source as a NUL-terminated char array, so the
# executable carries it. Run as a script:
#   cmake -DINPUT=in.json -DOUTPUT=out.cpp -DSYMBOL=kName -P embed_text.cmake
# Defines `extern const char SYMBOL[]` and `extern const unsigned long SYMBOL_LENGTH`
# (written SYMBOL with "Text" replaced by "Length"). Bytes, not a string
# literal: no escaping rules and no compiler limit on literal length apply.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_count "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
string(REPLACE "Text" "Length" length_symbol ${SYMBOL})
file(WRITE ${OUTPUT}.tmp
  "// Generated from ${INPUT}; do not edit.\n"
  "extern const char ${SYMBOL}[];\n"
  "extern const unsigned long ${length_symbol};\n"
  "const char ${SYMBOL}[] = {\n${bytes}0x00};\n"
  "const unsigned long ${length_symbol} = ${byte_count};\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
