# Script mode: installs the build into a fresh prefix, then builds a small
# C program against it in a project of its own, once through
# find_package(TesselGuard) and once through pkg-config, as a user of the
# installed package would; removes everything afterwards.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -P check_installed_package.cmake
foreach(var BUILD_DIR WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_installed_package.cmake: ${var} is not set")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    file(REMOVE_RECURSE ${WORK_DIR})
    message(FATAL_ERROR "${what} failed:\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(WRITE ${WORK_DIR}/project/main.c [[
#include <tesselguard.h>
int main(void) { return tesselguard_configure("{}") == 0 ? 0 : 1; }
]])
file(WRITE ${WORK_DIR}/project/CMakeLists.txt [[
cmake_minimum_required(VERSION 3.20)
project(uses_tesselguard C)
find_package(TesselGuard 2 REQUIRED)
add_executable(uses_cmake_package main.c)
target_link_libraries(uses_cmake_package PRIVATE TesselGuard::tesselguard)
]])
run("configuring with find_package(TesselGuard)" ${CMAKE_COMMAND} -S ${WORK_DIR}/project -B ${WORK_DIR}/project/build
    -DCMAKE_PREFIX_PATH=${prefix})
run("building with find_package(TesselGuard)" ${CMAKE_COMMAND} --build ${WORK_DIR}/project/build)

file(GLOB_RECURSE pc_files ${prefix}/tesselguard.pc)
if(NOT pc_files)
  file(REMOVE_RECURSE ${WORK_DIR})
  message(FATAL_ERROR "no tesselguard.pc installed")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
run("pkg-config" pkg-config --cflags --libs tesselguard)
separate_arguments(flags UNIX_COMMAND "${output}")
run("building with pkg-config" cc ${WORK_DIR}/project/main.c ${flags} -o ${WORK_DIR}/project/uses_pkg_config)
message(STATUS "built against the installed package: find_package and pkg-config")
file(REMOVE_RECURSE ${WORK_DIR})
