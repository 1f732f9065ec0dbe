# The include check stops at an include that goes against the order of the folders and names the
# file and the include, and passes a tree whose includes all go down.
# cmake -DCHECK=<cmake/CheckIncludes.cmake> -DWORK=<scratch folder> -P check-includes.cmake
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${WORK})
file(WRITE ${WORK}/run.cmake
     "cmake_minimum_required(VERSION 3.20)\ninclude(${CHECK})\nkestro_check_includes()\n")
file(WRITE ${WORK}/good/src/capture/Run.cpp
     "#include \"capture/Run.h\"\n#include \"edge/Win32Edge.h\"\n#include <windows.h>\n")
file(WRITE ${WORK}/good/src/driver/Instance.cpp
     "#include \"capture/Run.h\"\n#include \"ui/Dialog.h\"\n")
file(WRITE ${WORK}/bad/src/capture/Run.cpp
     "#include \"pure/Rules.h\"\n  #  include \"driver/Instance.h\"\n")
file(WRITE ${WORK}/bad/src/ui/Sheet.cpp "#include \"capture/Run.h\"\n")

execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/run.cmake WORKING_DIRECTORY ${WORK}/good
                RESULT_VARIABLE result ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "a tree whose includes go down was refused:\n${output}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK}/run.cmake WORKING_DIRECTORY ${WORK}/bad
                RESULT_VARIABLE result ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "includes against the order passed")
endif()
foreach(expected "src/capture/Run.cpp includes \"driver/Instance.h\""
                 "src/ui/Sheet.cpp includes \"capture/Run.h\"")
  string(FIND "${output}" "${expected}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the refusal does not name ${expected}:\n${output}")
  endif()
endforeach()
string(FIND "${output}" "pure/Rules.h" at)
if(NOT at LESS 0)
  message(FATAL_ERROR "an include that goes down was named:\n${output}")
endif()
