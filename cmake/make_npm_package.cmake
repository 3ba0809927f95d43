# Script mode: lays out the npm package in STAGE_DIR (index.js, index.d.ts,
# the Node-API addon built there with node-gyp against the system's Node.js
# headers, the layer's lib/ as lib/linux-<cpu>/ and its licences) and packs
# it with npm pack into OUTPUT_DIR.
#   cmake -DSOURCE_DIR=packages/npm -DLAYER_DIR=... -DSTAGE_DIR=... -DOUTPUT_DIR=...
#         -DPROJECT_VERSION=... -DNPM_CPU=x64 -DNODE=... -DNODE_GYP=... -DNPM=... -P make_npm_package.cmake
foreach(var SOURCE_DIR LAYER_DIR STAGE_DIR OUTPUT_DIR PROJECT_VERSION NPM_CPU NODE NODE_GYP NPM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_npm_package.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${STAGE_DIR}/lib ${STAGE_DIR}/addon)
file(COPY ${SOURCE_DIR}/index.js ${SOURCE_DIR}/index.d.ts ${SOURCE_DIR}/binding.gyp ${SOURCE_DIR}/src
     DESTINATION ${STAGE_DIR})
configure_file(${SOURCE_DIR}/package.json.in ${STAGE_DIR}/package.json @ONLY)
file(COPY ${LAYER_DIR}/lib/ DESTINATION ${STAGE_DIR}/lib/linux-${NPM_CPU})
file(COPY ${LAYER_DIR}/licenses DESTINATION ${STAGE_DIR})

# Offline: the headers come from the system (nodedir), nothing is downloaded;
# npm's own files stay in the stage.
set(ENV{npm_config_nodedir} /usr)
set(ENV{npm_config_cache} ${STAGE_DIR}/.npm-cache)
set(ENV{npm_config_update_notifier} false)
set(ENV{MAKEFLAGS} "")
execute_process(COMMAND ${NODE} ${NODE_GYP} rebuild --nodedir=/usr --loglevel=warn
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_npm_package.cmake: node-gyp could not build the addon")
endif()
file(COPY_FILE ${STAGE_DIR}/build/Release/tesselguard.node ${STAGE_DIR}/addon/tesselguard.node)

file(MAKE_DIRECTORY ${OUTPUT_DIR})
execute_process(COMMAND ${NPM} pack --silent --offline --pack-destination ${OUTPUT_DIR}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_npm_package.cmake: npm pack failed")
endif()
