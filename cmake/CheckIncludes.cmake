# The folders of src depend on each other in one direction: pure <- edge <- settings <- formats <-
# capture, playback <- driver, and ui <- driver, where ui also uses settings, edge and pure.
# kestro_check_includes() stops the configuration and names every file of src with an include of
# another folder that goes against that order. Tests, tools, benchmarks and fuzz targets include
# what they need and are not checked.

set(_kestro_below_pure pure)
set(_kestro_below_edge edge pure)
set(_kestro_below_settings settings edge pure)
set(_kestro_below_formats formats settings edge pure)
set(_kestro_below_capture capture formats settings edge pure)
set(_kestro_below_playback playback formats settings edge pure)
set(_kestro_below_ui ui settings edge pure resources)
set(_kestro_below_driver driver formats capture playback ui settings edge pure resources)
set(_kestro_below_resources resources)

function(kestro_check_includes)
  file(GLOB_RECURSE sources RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src/*.cpp
       ${CMAKE_SOURCE_DIR}/src/*.h)
  set(wrong)
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "^src/([^/]+)/")
      continue()
    endif()
    set(folder ${CMAKE_MATCH_1})
    if(NOT DEFINED _kestro_below_${folder})
      list(APPEND wrong "${source}: src/${folder} is missing from cmake/CheckIncludes.cmake")
      continue()
    endif()
    list(JOIN _kestro_below_${folder} ", " allowed)
    file(STRINGS ${CMAKE_SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS lines)
      string(REGEX MATCH "\"([^\"/]+)/[^\"]*\"" include "${line}")
      if(NOT CMAKE_MATCH_1 IN_LIST _kestro_below_${folder})
        list(APPEND wrong "${source} includes ${include}: src/${folder} may include ${allowed}")
      endif()
    endforeach()
  endforeach()
  if(wrong)
    list(JOIN wrong "\n  " names)
    message(FATAL_ERROR "Includes against the order of the folders of src:\n  ${names}")
  endif()
endfunction()
