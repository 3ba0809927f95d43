# The npm package (build/tesselguard-<version>.tgz) and the Python wheel
# (build/tesselguard-<version>-py3-none-manylinux_2_34_<processor>.whl): the
# layer's lib/ with a small module each that loads it and makes the
# configuration call. Built offline from the system's tools, each when its
# tools are there; the npm package for the build machine's own processor only
# (its addon is built by the machine's node-gyp).
set(TG_PACKAGE_SOURCES ${PROJECT_SOURCE_DIR}/packages)
# Sanitizer builds make no packages: a package holds the release library.
if(TESSELGUARD_SANITIZE OR TESSELGUARD_TSAN)
  set(TG_PACKAGES_WANTED OFF)
else()
  set(TG_PACKAGES_WANTED ON)
endif()

find_program(TG_NODE node)
find_program(TG_NPM npm)
find_program(TG_NODE_GYP node-gyp)
if(TG_NPM AND NOT TG_NODE_GYP)
  # npm carries node-gyp among its own modules.
  execute_process(COMMAND ${TG_NPM} root -g OUTPUT_VARIABLE TG_NPM_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(EXISTS ${TG_NPM_ROOT}/npm/node_modules/node-gyp/bin/node-gyp.js)
    set(TG_NODE_GYP ${TG_NPM_ROOT}/npm/node_modules/node-gyp/bin/node-gyp.js)
  endif()
endif()
if(TG_PACKAGES_WANTED AND TG_NODE AND TG_NPM AND TG_NODE_GYP AND EXISTS /usr/include/node/node_api.h
   AND NOT CMAKE_CROSSCOMPILING)
  set(TG_NPM_TARBALL ${CMAKE_BINARY_DIR}/tesselguard-${PROJECT_VERSION}.tgz)
  if(TG_ARCH STREQUAL "aarch64")
    set(TG_NPM_CPU arm64)
  else()
    set(TG_NPM_CPU x64)
  endif()
  file(GLOB TG_NPM_FILES CONFIGURE_DEPENDS ${TG_PACKAGE_SOURCES}/npm/* ${TG_PACKAGE_SOURCES}/npm/src/*)
  add_custom_command(OUTPUT ${TG_NPM_TARBALL}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${TG_PACKAGE_SOURCES}/npm -DLAYER_DIR=${CMAKE_BINARY_DIR}/layer
            -DSTAGE_DIR=${CMAKE_BINARY_DIR}/packages/npm -DOUTPUT_DIR=${CMAKE_BINARY_DIR}
            -DPROJECT_VERSION=${PROJECT_VERSION} -DNPM_CPU=${TG_NPM_CPU}
            -DNODE=${TG_NODE} -DNODE_GYP=${TG_NODE_GYP} -DNPM=${TG_NPM}
            -P ${CMAKE_CURRENT_LIST_DIR}/make_npm_package.cmake
    DEPENDS ${TG_LAYER_ZIP} ${TG_NPM_FILES} ${CMAKE_CURRENT_LIST_DIR}/make_npm_package.cmake
    COMMENT "Packing the npm package tesselguard-${PROJECT_VERSION}.tgz"
    VERBATIM)
  add_custom_target(tesselguard_npm_package ALL DEPENDS ${TG_NPM_TARBALL})
  # After the layer's own target: otherwise its rule runs twice side by side.
  add_dependencies(tesselguard_npm_package tesselguard_layer)
endif()

# The system's Python, whose pip, setuptools and wheel are Debian's.
find_program(TG_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(TG_PYTHON NAMES python3)
if(TG_PYTHON)
  execute_process(COMMAND ${TG_PYTHON} -c "import setuptools, wheel, pip, venv"
                  RESULT_VARIABLE TG_PYTHON_PACKAGING_MISSING OUTPUT_QUIET ERROR_QUIET)
endif()
if(TG_PACKAGES_WANTED AND TG_PYTHON AND TG_PYTHON_PACKAGING_MISSING EQUAL 0)
  # The glibc that every bundled file needs at most, as for the Lambda layer.
  set(TG_WHEEL_PLATFORM manylinux_2_34_${TG_ARCH})
  set(TG_WHEEL ${CMAKE_BINARY_DIR}/tesselguard-${PROJECT_VERSION}-py3-none-${TG_WHEEL_PLATFORM}.whl)
  file(GLOB TG_PYTHON_FILES CONFIGURE_DEPENDS ${TG_PACKAGE_SOURCES}/python/* ${TG_PACKAGE_SOURCES}/python/tesselguard/*)
  add_custom_command(OUTPUT ${TG_WHEEL}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${TG_PACKAGE_SOURCES}/python -DLAYER_DIR=${CMAKE_BINARY_DIR}/layer
            -DSTAGE_DIR=${CMAKE_BINARY_DIR}/packages/python -DOUTPUT_DIR=${CMAKE_BINARY_DIR}
            -DPROJECT_VERSION=${PROJECT_VERSION} -DPLATFORM_TAG=${TG_WHEEL_PLATFORM}
            -DPYTHON=${TG_PYTHON}
            -P ${CMAKE_CURRENT_LIST_DIR}/make_python_wheel.cmake
    DEPENDS ${TG_LAYER_ZIP} ${TG_PYTHON_FILES} ${CMAKE_CURRENT_LIST_DIR}/make_python_wheel.cmake
    COMMENT "Building the Python wheel ${TG_WHEEL}"
    VERBATIM)
  add_custom_target(tesselguard_python_wheel ALL DEPENDS ${TG_WHEEL})
  add_dependencies(tesselguard_python_wheel tesselguard_layer)
endif()

# The tests install each package offline into a fresh project; a package
# that could not be built here is skipped there.
if(TARGET test_core)
  foreach(package_target tesselguard_npm_package tesselguard_python_wheel)
    if(TARGET ${package_target})
      add_dependencies(test_core ${package_target})
    endif()
  endforeach()
  target_compile_definitions(test_core PRIVATE TG_NPM_TARBALL="${TG_NPM_TARBALL}" TG_PYTHON_WHEEL="${TG_WHEEL}")
endif()
