# CPack post-build script: brings the -dbgsym packages CPack makes into the shape of Debian's own.
# CPack writes their md5sums with the build machine's absolute paths and leaves out the
# documentation directory; Debian's link it to the main package's, whose copyright and changelog
# then cover them. The debug files become plain data (0644).
find_program(DPKG_DEB dpkg-deb REQUIRED)
# Runs before CPack copies the packages out of its working directory: CPACK_PACKAGE_FILES.
set(ddebs ${CPACK_PACKAGE_FILES})
list(FILTER ddebs INCLUDE REGEX "\\.ddeb$")
foreach(ddeb IN LISTS ddebs)
  set(root "${CPACK_TEMPORARY_DIRECTORY}/dbgsym-fix")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND ${DPKG_DEB} --raw-extract "${ddeb}" "${root}" COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS "${root}/DEBIAN/control" package_line REGEX "^Package: ")
  string(REGEX REPLACE "^Package: " "" package "${package_line}")
  string(REGEX REPLACE "-dbgsym$" "" main_package "${package}")

  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${main_package}" "${root}/usr/share/doc/${package}" SYMBOLIC)

  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/lib/debug/*")
  list(SORT debug_files)
  set(md5sums "")
  foreach(path IN LISTS debug_files)
    file(CHMOD "${root}/${path}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${root}/${path}" sum)
    string(APPEND md5sums "${sum}  ${path}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${md5sums}")
  file(CHMOD "${root}/DEBIAN/md5sums" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build "${root}" "${ddeb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${root}")
endforeach()
