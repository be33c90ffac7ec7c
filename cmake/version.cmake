# The version of this build, from the VERSION file (MAJOR.MINOR.PATCH) and git.
#
# A release is the commit tagged v<VERSION>: its builds carry the bare version.
# Every other commit's builds carry the version plus that commit,
# "<VERSION>+<12 hex digits>". A source tree without git (an export) can name
# its commit with -DQI_COMMIT=<hex>; without one it builds as the bare version.
#
# Sets QI_VERSION, QI_VERSION_MAJOR/MINOR/PATCH, QI_VERSION_COMMIT (empty
# without one) and QI_SOURCE_DATE (the commit's time, seconds since 1970, 0
# without git), and writes them to
# <build>/generated/qi_version.h and <build>/generated/version.txt.

set(QI_VERSION_FILE ${CMAKE_SOURCE_DIR}/VERSION)
file(READ ${QI_VERSION_FILE} qi_version_text)
string(STRIP "${qi_version_text}" QI_VERSION_BASE)
if(NOT QI_VERSION_BASE MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION holds '${QI_VERSION_BASE}', not MAJOR.MINOR.PATCH")
endif()
set(QI_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QI_VERSION_MINOR ${CMAKE_MATCH_2})
set(QI_VERSION_PATCH ${CMAKE_MATCH_3})
foreach(part MAJOR MINOR PATCH)
  if(QI_VERSION_${part} GREATER 65535)
    message(FATAL_ERROR "VERSION part ${QI_VERSION_${part}} does not fit a Windows version (0 to 65535)")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QI_VERSION_FILE})

set(QI_COMMIT "" CACHE STRING "Commit of a source tree without git (hex); empty: ask git")
set(qi_commit "")
set(qi_release FALSE)
set(QI_SOURCE_DATE 0)
find_program(QI_GIT git)
if(QI_COMMIT)
  if(NOT QI_COMMIT MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "QI_COMMIT '${QI_COMMIT}' is not lower-case hex")
  endif()
  string(SUBSTRING "${QI_COMMIT}" 0 12 qi_commit)
elseif(QI_GIT)
  # Only the repository whose top is this source tree counts: a copy of the
  # tree inside some other repository has no commit of its own.
  execute_process(COMMAND ${QI_GIT} -C ${CMAKE_SOURCE_DIR} rev-parse --show-toplevel
    --absolute-git-dir HEAD --short=12 HEAD
    OUTPUT_VARIABLE qi_git_out ERROR_QUIET RESULT_VARIABLE qi_git_rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "\n" ";" qi_git_out "${qi_git_out}")
  list(LENGTH qi_git_out qi_git_n)
  if(qi_git_rc EQUAL 0 AND qi_git_n EQUAL 4)
    list(GET qi_git_out 0 qi_top)
    list(GET qi_git_out 1 qi_git_dir)
    list(GET qi_git_out 3 qi_short)
    file(REAL_PATH "${qi_top}" qi_top)
    file(REAL_PATH "${CMAKE_SOURCE_DIR}" qi_source)
    if(qi_top STREQUAL qi_source)
      set(qi_commit ${qi_short})
      execute_process(COMMAND ${QI_GIT} -C ${CMAKE_SOURCE_DIR} tag --points-at HEAD
        OUTPUT_VARIABLE qi_tags OUTPUT_STRIP_TRAILING_WHITESPACE)
      string(REPLACE "\n" ";" qi_tags "${qi_tags}")
      if("v${QI_VERSION_BASE}" IN_LIST qi_tags)
        set(qi_release TRUE)
      endif()
      execute_process(COMMAND ${QI_GIT} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
        OUTPUT_VARIABLE QI_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
      # A new commit or checkout, or a new tag, configures again.
      foreach(f HEAD logs/HEAD packed-refs)
        if(EXISTS ${qi_git_dir}/${f})
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${qi_git_dir}/${f})
        endif()
      endforeach()
    endif()
  endif()
endif()

# The reproducible-builds convention: SOURCE_DATE_EPOCH, when set, is the
# source's time (for a tree without git above all).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH '$ENV{SOURCE_DATE_EPOCH}' is not a number")
  endif()
  set(QI_SOURCE_DATE "$ENV{SOURCE_DATE_EPOCH}")
endif()
set(QI_VERSION_COMMIT "${qi_commit}")
if(qi_commit AND NOT qi_release)
  set(QI_VERSION "${QI_VERSION_BASE}+${qi_commit}")
else()
  set(QI_VERSION "${QI_VERSION_BASE}")
endif()
message(STATUS "Quorvel Icons version ${QI_VERSION}")

set(QI_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qi_version.h.in ${QI_GENERATED_DIR}/qi_version.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.txt.in ${QI_GENERATED_DIR}/version.txt @ONLY)
