# Builds that do not depend on where or when they run: the same sources give
# the same binary, man page and package, byte for byte.
#
# SOURCE_DATE_EPOCH: the builder's, else the last commit's time, else (a
# source tarball) the date kept in packaging/source-date-epoch. CMake's
# string(TIMESTAMP) and dpkg-deb both honour it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${CMAKE_CURRENT_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE git_failed)
  if(git_failed OR NOT epoch MATCHES "^[0-9]+$")
    file(READ "${CMAKE_CURRENT_SOURCE_DIR}/packaging/source-date-epoch" epoch)
    string(STRIP "${epoch}" epoch)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
set(TAL_SOURCE_DATE_EPOCH "${epoch}" CACHE INTERNAL "Time stamp of every built file")
string(TIMESTAMP TAL_BUILD_DATE "%Y-%m-%d" UTC)

# No build path in the objects: debug info, __FILE__ and the build ID that
# hashes them are the same for a tree at any path.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=" "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
