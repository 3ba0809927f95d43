# Script mode: lays out the Python package in STAGE_DIR (the ctypes module,
# the layer's lib/ inside it, its licences) and builds the wheel into
# OUTPUT_DIR with the system's setuptools and wheel, offline.
#   cmake -DSOURCE_DIR=packages/python -DLAYER_DIR=... -DSTAGE_DIR=... -DOUTPUT_DIR=...
#         -DPROJECT_VERSION=... -DPLATFORM_TAG=manylinux_2_34_x86_64 -DPYTHON=... -P make_python_wheel.cmake
foreach(var SOURCE_DIR LAYER_DIR STAGE_DIR OUTPUT_DIR PROJECT_VERSION PLATFORM_TAG PYTHON)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_python_wheel.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${STAGE_DIR})
file(COPY ${SOURCE_DIR}/setup.py ${SOURCE_DIR}/tesselguard DESTINATION ${STAGE_DIR})
configure_file(${SOURCE_DIR}/pyproject.toml.in ${STAGE_DIR}/pyproject.toml @ONLY)
file(COPY ${LAYER_DIR}/lib DESTINATION ${STAGE_DIR}/tesselguard)
file(COPY ${LAYER_DIR}/licenses DESTINATION ${STAGE_DIR}/tesselguard)

set(ENV{TESSELGUARD_WHEEL_PLATFORM} ${PLATFORM_TAG})
set(ENV{PIP_NO_CACHE_DIR} 1)
set(ENV{PIP_DISABLE_PIP_VERSION_CHECK} 1)
execute_process(COMMAND ${PYTHON} -m pip wheel --quiet --no-build-isolation --no-deps --no-index
                        --wheel-dir ${OUTPUT_DIR} ${STAGE_DIR}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_python_wheel.cmake: pip wheel failed")
endif()
