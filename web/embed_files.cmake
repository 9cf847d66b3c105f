# cmake -DOUTPUT=file.cpp -DINPUTS="a;b" -P embed_files.cmake: writes each
# input as a byte array named WEB_PAGE_<NAME> (its file name in capitals,
# dots and dashes as underscores) with WEB_PAGE_<NAME>_SIZE.
set(text "// Made by web/embed_files.cmake from web/page: edit those files.\n#include <cstddef>\n")
foreach(input ${INPUTS})
  get_filename_component(name ${input} NAME)
  string(TOUPPER ${name} name)
  string(REGEX REPLACE "[.-]" "_" name ${name})
  file(READ ${input} hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "extern const char WEB_PAGE_${name}[] = {${bytes} 0};\n")
  string(APPEND text "extern const size_t WEB_PAGE_${name}_SIZE = ${size};\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
