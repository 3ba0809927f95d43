# Installation rules, the CMake package and pkg-config files, and the Lambda
# layer archive build/tesselguard-layer.zip (tesselguard-layer-arm64.zip
# for AArch64).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Consumers of the installed package find the public header here.
target_include_directories(tesselguard INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS tesselguard EXPORT TesselGuardTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# cJSON and Zydis beside it: the library looks for them in its own folder.
install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" \"-DLIBRARY=$<TARGET_FILE:tesselguard>\"
  \"-DRUNTIME_LOADED=${TG_RUNTIME_LOADED_LIBRARIES}\"
  \"-DDESTINATION=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\"
  -P \"${CMAKE_CURRENT_LIST_DIR}/bundle_dependencies.cmake\" COMMAND_ERROR_IS_FATAL ANY)")
# The libssl compatibility library goes into the library's private folder,
# which the library's RUNPATH names and no program searches; it opens the
# system's OpenSSL 3.
install(TARGETS ssl_compat LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${TG_PRIVATE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tesselguard.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TG_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TesselGuard)
install(EXPORT TesselGuardTargets NAMESPACE TesselGuard:: DESTINATION ${TG_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TesselGuardConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/TesselGuardConfig.cmake
  INSTALL_DESTINATION ${TG_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/TesselGuardConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/TesselGuardConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/TesselGuardConfigVersion.cmake
        DESTINATION ${TG_CMAKE_PACKAGE_DIR})

# A relocatable pkg-config file: the prefix is found from the file's own folder.
set(TG_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TG_PC_TO_PREFIX /install-prefix/${TG_PC_DIR} /install-prefix)
string(REGEX REPLACE "/$" "" TG_PC_TO_PREFIX "${TG_PC_TO_PREFIX}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(TG_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(TG_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tesselguard.pc.in ${CMAKE_BINARY_DIR}/packaging/tesselguard.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tesselguard.pc DESTINATION ${TG_PC_DIR})

# The Lambda layer: lib/ with our library and the shared libraries it needs
# that a Lambda image lacks; lib/tesselguard/ with the libssl compatibility
# library and the OpenSSL 3 that it opens on first use (private: Lambda puts
# lib/ on every program's LD_LIBRARY_PATH); licenses/ with the copyright file
# of each bundled package.
set(TG_LAYER_ZIP ${CMAKE_BINARY_DIR}/${TG_LAYER_ZIP_NAME})
add_custom_command(OUTPUT ${TG_LAYER_ZIP}
  COMMAND ${CMAKE_COMMAND}
          -DLIBRARY=$<TARGET_FILE:tesselguard>
          "-DLIBRARY_RUNTIME_LOADED=${TG_RUNTIME_LOADED_LIBRARIES}"
          -DCOMPAT_LIBRARY=$<TARGET_FILE:ssl_compat>
          "-DRUNTIME_LOADED=$<TARGET_PROPERTY:ssl_compat,TG_RUNTIME_LOADED>"
          -DPRIVATE_DIR=${TG_PRIVATE_DIR}
          -DSTAGE_DIR=${CMAKE_BINARY_DIR}/layer
          -DZIP_FILE=${TG_LAYER_ZIP}
          -P ${CMAKE_CURRENT_LIST_DIR}/make_layer.cmake
  DEPENDS tesselguard ssl_compat ${CMAKE_CURRENT_LIST_DIR}/make_layer.cmake
  COMMENT "Packing the Lambda layer ${TG_LAYER_ZIP_NAME}"
  VERBATIM)
add_custom_target(tesselguard_layer ALL DEPENDS ${TG_LAYER_ZIP})

# The layer test unpacks the archive, so it must exist before the tests run.
if(TARGET test_core)
  add_dependencies(test_core tesselguard_layer)
endif()

# The npm package and the Python wheel, built from the layer's files.
include(${CMAKE_CURRENT_LIST_DIR}/language_packages.cmake)

# The installed package as its users meet it, from a prefix of its own (with
# the machine's own compiler, and the release library: not for a cross or a
# sanitizer build).
if(TARGET test_core AND NOT CMAKE_CROSSCOMPILING AND NOT TESSELGUARD_SANITIZE AND NOT TESSELGUARD_TSAN)
  add_test(NAME installed_package COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
           -DWORK_DIR=${CMAKE_BINARY_DIR}/installed-package-check -P ${CMAKE_CURRENT_LIST_DIR}/check_installed_package.cmake)
endif()
