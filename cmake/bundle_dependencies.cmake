# Script mode: copies the shared libraries that LIBRARY needs and the system
# may lack (cJSON), and those it opens itself (RUNTIME_LOADED: Zydis), with
# what they need, under their sonames, into DESTINATION.
#   cmake -DLIBRARY=... [-DRUNTIME_LOADED=...] -DDESTINATION=... -P bundle_dependencies.cmake
# The library's RUNPATH names its own folder: wherever it lies with these
# beside it, it loads them whatever the environment.
foreach(var LIBRARY DESTINATION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "bundle_dependencies.cmake: ${var} is not set")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/provided_by_image.cmake)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM linux+elf)
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES ${LIBRARY} ${RUNTIME_LOADED}
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved
  PRE_EXCLUDE_REGEXES ${PROVIDED_BY_IMAGE})
if(unresolved)
  message(FATAL_ERROR "bundle_dependencies.cmake: cannot find ${unresolved}")
endif()
foreach(dependency ${resolved} ${RUNTIME_LOADED})
  get_filename_component(soname ${dependency} NAME)
  get_filename_component(folder ${dependency} DIRECTORY)
  file(REAL_PATH ${DESTINATION} destination)
  if(NOT folder STREQUAL destination)
    file(COPY_FILE ${dependency} ${DESTINATION}/${soname} ONLY_IF_DIFFERENT)
  endif()
endforeach()
