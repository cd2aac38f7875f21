# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package (CPack, DEB generator) of what `cmake --install` puts in
# place, plus the files only a package needs: the man page of vesh-cli, the
# copyright file and the notices of the bundled inference runtime.
# scripts/package configures a tree with CMAKE_INSTALL_PREFIX=/usr and runs
# cpack there.

if(TARGET vesh-cli)
  # The version in the page's title line comes from the project.
  configure_file(${PROJECT_SOURCE_DIR}/docs/vesh-cli.1 ${PROJECT_BINARY_DIR}/man/vesh-cli.1 @ONLY)
  find_program(VESH_GZIP gzip REQUIRED)
  # -n leaves the name and time stamp out, so the package is reproducible.
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/vesh-cli.1.gz
    COMMAND ${VESH_GZIP} -9 -n -f -k ${PROJECT_BINARY_DIR}/man/vesh-cli.1
    DEPENDS ${PROJECT_BINARY_DIR}/man/vesh-cli.1
    VERBATIM)
  add_custom_target(vesh-man-page ALL DEPENDS ${PROJECT_BINARY_DIR}/man/vesh-cli.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/vesh-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Debian keeps each package's documentation under its package name.
set(VESH_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vesh)
install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${VESH_PACKAGE_DOC_DIR})

# The runtime that scripts/setup unpacks comes with its licence and the
# notices of the software inside it; both travel with the library.
cmake_path(GET OnnxRuntime_LIBRARY PARENT_PATH vesh_onnxruntime_lib_dir)
cmake_path(GET vesh_onnxruntime_lib_dir PARENT_PATH vesh_onnxruntime_dir)
cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${vesh_onnxruntime_dir}" NORMALIZE vesh_onnxruntime_is_ours)
if(NOT VESH_CORE_ONLY AND vesh_onnxruntime_is_ours)
  install(FILES ${vesh_onnxruntime_dir}/LICENSE ${vesh_onnxruntime_dir}/ThirdPartyNotices.txt
    DESTINATION ${VESH_PACKAGE_DOC_DIR}/onnxruntime)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesh)
set(CPACK_PACKAGE_VENDOR "Vesh developers")
set(CPACK_PACKAGE_CONTACT "Vesh developers <support@veshaudio.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://veshaudio.org)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remove background noise from recorded speech")
set(CPACK_PACKAGE_DESCRIPTION
  "Vesh cleans recordings of speech: a neural network removes the background
noise, the result is mixed with the original by a chosen share and written as
WAV, AIFF or FLAC, or in the format of the original file. It reads any audio
format that FFmpeg decodes, including the sound of video files.

The package holds the desktop application (vesh) and the command line
(vesh-cli), the trained network and the inference runtime it runs on.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# The binaries look for the model under the prefix they were configured for.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from dpkg-shlibdeps over every binary in the package, the
# bundled runtime included (so its own system libraries count). The binaries'
# $ORIGIN search path leads it to that runtime inside the package, and CPack
# runs it with --ignore-missing-info, so the runtime, which no Debian package
# provides, is left out of Depends instead of failing the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
