# vel_embed_file_bytes(FILE OUT_VAR): the file's bytes as a C initialiser list ("0x12,0x34,..."),
# sixteen a line, and the file added to the configure dependencies so that an edit re-embeds it.
function(vel_embed_file_bytes file out_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(READ "${file}" _hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n     " _bytes "${_bytes}")
  set(${out_var} "${_bytes}" PARENT_SCOPE)
endfunction()
