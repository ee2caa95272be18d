# embed_files(OUT NAME FILE...): writes OUT, a C++ file defining for each FILE
# `extern const unsigned char NAME_<stem>[]` (with a 0 after the bytes, so a
# text file reads as a C string) and `NAME_<stem>_size` (without the 0), so
# the program carries its pictures and words and needs no install path.
function(embed_files out name)
  set(body "// Made by cmake/embed.cmake from ${ARGN}; do not edit.\n#include <cstddef>\n")
  foreach(file ${ARGN})
    get_filename_component(stem ${file} NAME_WE)
    string(MAKE_C_IDENTIFIER "${name}_${stem}" id)
    file(READ ${file} hex HEX)
    string(LENGTH "${hex}" length)
    math(EXPR size "${length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "extern const unsigned char ${id}[] = {${bytes}0x00};\n"
                       "extern const std::size_t ${id}_size = ${size};\n")
  endforeach()
  file(WRITE ${out}.new "${body}")
  configure_file(${out}.new ${out} COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARGN})
endfunction()
