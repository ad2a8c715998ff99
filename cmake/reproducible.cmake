# Builds that do not depend on where or when they run: the same sources give
# the same binary, man page and package, byte for byte.
#
# SOURCE_DATE_EPOCH: the builder's, else the date of the newest entry of
# packaging/changelog, as Debian's tools take it. Not the last commit's time:
# a tree without git (a tarball, a machine without git installed) would get
# another date, so the same sources would give other bytes. The changelog is
# read here rather than with dpkg-parsechangelog, which the router's package
# route does not install. CMake's string(TIMESTAMP) and dpkg-deb both honour
# SOURCE_DATE_EPOCH.

# tal_changelog_epoch(OUT FILE): seconds since 1970 of the first trailer
# line (" -- NAME <MAIL>  Mon, 07 Dec 2026 12:00:00 +0000") of FILE.
function(tal_changelog_epoch out file)
  file(STRINGS "${file}" trailers REGEX "^ -- ")
  list(LENGTH trailers count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${file}: no ' -- ' trailer line to take the date from")
  endif()
  list(GET trailers 0 trailer)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  if(NOT trailer MATCHES
     ">  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([+-])([0-9][0-9])([0-9][0-9])$")
    message(FATAL_ERROR "${file}: cannot read the date of '${trailer}' "
                        "(expected 'Mon, 07 Dec 2026 12:00:00 +0000' after two spaces)")
  endif()
  list(FIND months "${CMAKE_MATCH_2}" month)
  if(month EQUAL -1)
    message(FATAL_ERROR "${file}: no month '${CMAKE_MATCH_2}' in '${trailer}'")
  endif()
  set(year ${CMAKE_MATCH_3})
  set(sign ${CMAKE_MATCH_7})
  foreach(group 1 4 5 6 8 9)
    set(value${group} "${CMAKE_MATCH_${group}}")
  endforeach()
  # Leading zeros would read as octal in math().
  foreach(group 1 4 5 6 8 9)
    string(REGEX REPLACE "^0([0-9])$" "\\1" value${group} "${value${group}}")
  endforeach()
  set(day ${value1})
  # Days since 1970-01-01 of a civil date (H. Hinnant's days_from_civil),
  # the year counted from March so that the leap day comes last.
  math(EXPR m "${month} + 1")
  if(m LESS_EQUAL 2)
    math(EXPR y "${year} - 1")
    math(EXPR mp "${m} + 9")
  else()
    set(y ${year})
    math(EXPR mp "${m} - 3")
  endif()
  math(EXPR era "${y} / 400")
  math(EXPR yoe "${y} - ${era} * 400")
  math(EXPR doy "(153 * ${mp} + 2) / 5 + ${day} - 1")
  math(EXPR doe "${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy}")
  math(EXPR days "${era} * 146097 + ${doe} - 719468")
  math(EXPR epoch "${days} * 86400 + ${value4} * 3600 + ${value5} * 60 + ${value6} - (${sign}1) * (${value8} * 3600 + ${value9} * 60)")
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  tal_changelog_epoch(epoch "${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog")
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
set(TAL_SOURCE_DATE_EPOCH "${epoch}" CACHE INTERNAL "Time stamp of every built file")
string(TIMESTAMP TAL_BUILD_DATE "%Y-%m-%d" UTC)

# No build path in the objects: debug info, __FILE__ and the build ID that
# hashes them are the same for a tree at any path.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=" "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
