# The project version and the git commit the build comes from, for --version and the packages.
#   VARNEL_GIT_COMMIT    abbreviated commit, or "unknown" outside a git checkout of this source
#   VARNEL_GIT_COUNT     number of commits up to it (orders package versions), or empty
#   VARNEL_VERSION_TEXT  "2.11 (git 0123abcd4567)"
#   VARNEL_PACKAGE_VERSION  "2.11+git123.0123abcd4567", or the project version outside git
#   VARNEL_RELEASE_DATE, VARNEL_CHANGELOG_DATE  the commit's date, for the packages' metadata
#   VARNEL_SOURCE_DATE_EPOCH  the same as seconds (empty outside git), for generated man pages
# and the header app/version.h of the INTERFACE library varnel_version.
# Configuration runs again when HEAD moves, so the commit named is the one built.
set(VARNEL_GIT_COMMIT unknown)
set(VARNEL_GIT_COUNT "")
set(commit_time "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE toplevel RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A source tree unpacked inside some other repository is not a checkout of its own.
  if(status EQUAL 0 AND EXISTS "${toplevel}" AND toplevel STREQUAL PROJECT_SOURCE_DIR)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(commit MATCHES "^[0-9a-f]+$" AND count MATCHES "^[0-9]+$")
      set(VARNEL_GIT_COMMIT ${commit})
      set(VARNEL_GIT_COUNT ${count})
    endif()
    foreach(ref HEAD logs/HEAD)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path ${ref}
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(path AND EXISTS "${path}")
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
      endif()
    endforeach()
  endif()
endif()

set(VARNEL_VERSION_TEXT "${PROJECT_VERSION} (git ${VARNEL_GIT_COMMIT})")
if(VARNEL_GIT_COUNT)
  set(VARNEL_PACKAGE_VERSION "${PROJECT_VERSION}+git${VARNEL_GIT_COUNT}.${VARNEL_GIT_COMMIT}")
else()
  set(VARNEL_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()
# The release date of the packages' changelog and metainfo: the commit's, so that a rebuild of the
# same commit gives the same files; the time of configuration outside git.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(commit_time MATCHES "^[0-9]+$")
  set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
endif()
set(VARNEL_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
string(TIMESTAMP VARNEL_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP VARNEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
message(STATUS "Varnel Downloader ${VARNEL_VERSION_TEXT}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/app/version.h
               @ONLY)
add_library(varnel_version INTERFACE)
target_include_directories(varnel_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
