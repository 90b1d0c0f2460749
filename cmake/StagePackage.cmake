# Links every file of the source package into the staging directory (run at
# each build, so files added to the package are picked up without
# reconfiguring).
file(MAKE_DIRECTORY "${DST}")
file(GLOB entries RELATIVE "${SRC}" "${SRC}/*")
foreach(name IN LISTS entries)
  if(NOT name STREQUAL "__pycache__" AND NOT name MATCHES "\\.so$" AND NOT EXISTS "${DST}/${name}")
    file(CREATE_LINK "${SRC}/${name}" "${DST}/${name}" SYMBOLIC)
  endif()
endforeach()
