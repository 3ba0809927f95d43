# Script mode: lays out a Lambda layer in STAGE_DIR and packs it into ZIP_FILE.
#   cmake -DLIBRARY=... [-DLIBRARY_RUNTIME_LOADED=...] -DCOMPAT_LIBRARY=... -DPRIVATE_DIR=...
#         [-DRUNTIME_LOADED=...] -DSTAGE_DIR=... -DZIP_FILE=... -P make_layer.cmake
# Lambda puts the layer's lib/ on LD_LIBRARY_PATH. Our library and the
# shared libraries it needs that a Lambda image lacks go there under their
# sonames; the library also finds them there through its RUNPATH ($ORIGIN),
# so a program started with any environment loads them; so does Zydis, which
# the library opens itself when it needs it (LIBRARY_RUNTIME_LOADED). The libssl
# compatibility library, the libraries it opens with dlopen rather than links
# (RUNTIME_LOADED: OpenSSL 3, opened on first use) and their dependencies go
# to lib/PRIVATE_DIR, which only our library's RUNPATH names: no other
# program finds a libssl there.
foreach(var LIBRARY COMPAT_LIBRARY PRIVATE_DIR STAGE_DIR ZIP_FILE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_layer.cmake: ${var} is not set")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/provided_by_image.cmake)

file(REMOVE_RECURSE ${STAGE_DIR})
set(private ${STAGE_DIR}/lib/${PRIVATE_DIR})
file(MAKE_DIRECTORY ${STAGE_DIR}/lib ${private} ${STAGE_DIR}/licenses)
get_filename_component(library_name ${LIBRARY} NAME)
get_filename_component(compat_name ${COMPAT_LIBRARY} NAME)
file(COPY_FILE ${LIBRARY} ${STAGE_DIR}/lib/${library_name})
file(COPY_FILE ${COMPAT_LIBRARY} ${private}/${compat_name})

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM linux+elf)
# The shared libraries that the given ones need, less what the image provides.
function(bundled_dependencies out)
  file(GET_RUNTIME_DEPENDENCIES
    LIBRARIES ${ARGN}
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    PRE_EXCLUDE_REGEXES ${PROVIDED_BY_IMAGE})
  if(unresolved)
    message(FATAL_ERROR "make_layer.cmake: cannot find ${unresolved}")
  endif()
  set(${out} ${resolved} PARENT_SCOPE)
endfunction()
bundled_dependencies(public_files ${LIBRARY} ${LIBRARY_RUNTIME_LOADED})
list(APPEND public_files ${LIBRARY_RUNTIME_LOADED})
list(REMOVE_DUPLICATES public_files)
bundled_dependencies(private_files ${COMPAT_LIBRARY} ${RUNTIME_LOADED})
list(APPEND private_files ${RUNTIME_LOADED})
list(REMOVE_DUPLICATES private_files)

find_program(DPKG_QUERY dpkg-query)
set(packages)
foreach(dependency ${public_files} ${private_files})
  # One copy of a library that both sides need, in lib/.
  list(FIND public_files ${dependency} public_index)
  if(public_index GREATER -1)
    set(folder ${STAGE_DIR}/lib)
  else()
    set(folder ${private})
  endif()
  # The resolved path is the soname link; the loader looks for that name.
  get_filename_component(soname ${dependency} NAME)
  file(COPY_FILE ${dependency} ${folder}/${soname})
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
