# SPDX-License-Identifier: GPL-3.0-or-later
# Finds the ONNX Runtime C/C++ library: a system installation first, then the
# copy that scripts/setup unpacks into third_party/onnxruntime.
# Defines the imported target OnnxRuntime::OnnxRuntime.
find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
  PATH_SUFFIXES onnxruntime onnxruntime/core/session
  NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
find_library(OnnxRuntime_LIBRARY onnxruntime NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH)
if(NOT OnnxRuntime_INCLUDE_DIR OR NOT OnnxRuntime_LIBRARY)
  set(_vesh_ort "${PROJECT_SOURCE_DIR}/third_party/onnxruntime")
  find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h PATHS "${_vesh_ort}/include" NO_DEFAULT_PATH)
  find_library(OnnxRuntime_LIBRARY NAMES onnxruntime PATHS "${_vesh_ort}/lib" NO_DEFAULT_PATH)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "run scripts/setup to install the inference runtime")

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::OnnxRuntime)
  add_library(OnnxRuntime::OnnxRuntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::OnnxRuntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
endif()
