# Writes a C++ header that holds a text file's bytes, so that a program carries the file in
# itself instead of reading it from the build's source folder.
#   cmake -DINPUT=FILE -DOUTPUT=HEADER -DNAME=IDENTIFIER -P embed_text.cmake
# The header defines NAME (the text, with a terminating zero) and NAME##FileName (the input's
# file name, without its folder).
foreach(required INPUT OUTPUT NAME)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "embed_text.cmake: -D${required}=... is missing")
  endif()
endforeach()

file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
# Sixteen bytes a line.
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(file_name "${INPUT}" NAME)

file(WRITE "${OUTPUT}"
"// Generated from ${file_name} by cmake/embed_text.cmake: do not edit.
#pragma once

inline constexpr char ${NAME}FileName[] = \"${file_name}\";
inline constexpr char ${NAME}[] = {
    ${bytes}0x00};
")
