# Links every file of the source package into the staging directory (run at
# each build, so files added to the package are picked up without
# reconfiguring). A link that points elsewhere (the package folder moved) or
# at nothing (a file removed) is replaced or dropped, so an old build tree
# never imports stale files.
file(MAKE_DIRECTORY "${DST}")
file(GLOB staged RELATIVE "${DST}" LIST_DIRECTORIES true "${DST}/*")
foreach(name IN LISTS staged)
  if(IS_SYMLINK "${DST}/${name}")
    file(READ_SYMLINK "${DST}/${name}" target)
    if(NOT target STREQUAL "${SRC}/${name}" OR NOT EXISTS "${SRC}/${name}")
      file(REMOVE "${DST}/${name}")
    endif()
  endif()
endforeach()
file(GLOB entries RELATIVE "${SRC}" "${SRC}/*")
foreach(name IN LISTS entries)
  if(NOT name STREQUAL "__pycache__" AND NOT name MATCHES "\\.so$" AND NOT EXISTS "${DST}/${name}")
    file(CREATE_LINK "${SRC}/${name}" "${DST}/${name}" SYMBOLIC)
  endif()
endforeach()
