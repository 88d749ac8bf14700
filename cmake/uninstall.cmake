# Removes what the last install wrote, as listed in its manifest:
#   DESTDIR=<staging> cmake -DMANIFEST=<build>/install_manifest.txt -P cmake/uninstall.cmake
# The manifest holds the installed paths without DESTDIR, which is put in
# front of them here as the install did.
# Directories are left alone except include/sorn and its subdirectories,
# which only this suite creates, once they are empty.
if(NOT DEFINED MANIFEST OR NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "no install manifest: ${MANIFEST} (run make install first)")
endif()
file(STRINGS "${MANIFEST}" installed)
set(header_dirs)
foreach(installed_path IN LISTS installed)
  set(path "$ENV{DESTDIR}${installed_path}")
  if(IS_SYMLINK "${path}" OR EXISTS "${path}")
    message(STATUS "Removing: ${path}")
    file(REMOVE "${path}")
  endif()
  if(path MATCHES "^(.*/include/sorn)/[^/]+/[^/]+\\.h$")
    get_filename_component(dir "${path}" DIRECTORY)
    list(APPEND header_dirs "${dir}" "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES header_dirs)
list(SORT header_dirs ORDER DESCENDING)  # subdirectories before include/sorn
foreach(dir IN LISTS header_dirs)
  file(GLOB left "${dir}/*")
  if(IS_DIRECTORY "${dir}" AND NOT left)
    file(REMOVE_RECURSE "${dir}")
  endif()
endforeach()
