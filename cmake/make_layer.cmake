# Script mode: lays out a Lambda layer in STAGE_DIR and packs it into ZIP_FILE.
#   cmake -DLIBRARY=... -DCOMPAT_LIBRARY=... [-DRUNTIME_LOADED=...] -DSTAGE_DIR=... -DZIP_FILE=... -P make_layer.cmake
# Lambda puts the layer's lib/ on LD_LIBRARY_PATH, so every shared library
# that ours needs and a Lambda image lacks goes there under its soname.
# RUNTIME_LOADED lists libraries that are opened with dlopen rather than
# linked (OpenSSL 3, opened by the compatibility library on first use): they
# are bundled too, with their own dependencies.
foreach(var LIBRARY COMPAT_LIBRARY STAGE_DIR ZIP_FILE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_layer.cmake: ${var} is not set")
  endif()
endforeach()

# What every Lambda image has: the C library family and the GCC run-time.
set(PROVIDED_BY_IMAGE
  "^ld-linux" "^linux-vdso" "^libc\\.so" "^libm\\.so" "^libdl\\.so" "^libpthread\\.so"
  "^librt\\.so" "^libresolv\\.so" "^libutil\\.so" "^libstdc\\+\\+\\.so" "^libgcc_s\\.so")

file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${STAGE_DIR}/lib ${STAGE_DIR}/licenses)
get_filename_component(library_name ${LIBRARY} NAME)
get_filename_component(compat_name ${COMPAT_LIBRARY} NAME)
file(COPY_FILE ${LIBRARY} ${STAGE_DIR}/lib/${library_name})
file(COPY_FILE ${COMPAT_LIBRARY} ${STAGE_DIR}/lib/${compat_name})

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM linux+elf)
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES ${LIBRARY} ${COMPAT_LIBRARY} ${RUNTIME_LOADED}
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved
  PRE_EXCLUDE_REGEXES ${PROVIDED_BY_IMAGE})
if(unresolved)
  message(FATAL_ERROR "make_layer.cmake: cannot find ${unresolved}")
endif()

find_program(DPKG_QUERY dpkg-query)
set(packages)
foreach(dependency ${resolved} ${RUNTIME_LOADED})
  # The resolved path is the soname link; the loader looks for that name.
  get_filename_component(soname ${dependency} NAME)
  file(COPY_FILE ${dependency} ${STAGE_DIR}/lib/${soname})
  file(REAL_PATH ${dependency} real_file)
  get_filename_component(real_name ${real_file} NAME)
  if(NOT DPKG_QUERY)
    message(WARNING "make_layer.cmake: no dpkg-query; the licence of ${soname} is not bundled")
    continue()
  endif()
  # Match by file name: with merged /usr the package may list the file under
  # /lib or /usr/lib.
  execute_process(COMMAND ${DPKG_QUERY} -S "*/${real_name}"
                  OUTPUT_VARIABLE owners RESULT_VARIABLE status ERROR_QUIET)
  string(REGEX MATCH "^[^:,]+" package "${owners}")
  if(NOT status EQUAL 0 OR NOT package)
    message(FATAL_ERROR "make_layer.cmake: no package owns ${real_file}")
  endif()
  list(APPEND packages ${package})
endforeach()

list(REMOVE_DUPLICATES packages)
foreach(package ${packages})
  set(copyright /usr/share/doc/${package}/copyright)
  if(NOT EXISTS ${copyright})
    message(FATAL_ERROR "make_layer.cmake: ${copyright} is missing")
  endif()
  file(MAKE_DIRECTORY ${STAGE_DIR}/licenses/${package})
  file(COPY_FILE ${copyright} ${STAGE_DIR}/licenses/${package}/copyright)
endforeach()

file(REMOVE ${ZIP_FILE})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP_FILE} --format=zip lib licenses
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_layer.cmake: packing ${ZIP_FILE} failed")
endif()
