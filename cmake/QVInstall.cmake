# Installation: the libraries, their public and generated headers, a CMake
# package with one component per library, and a pkg-config file per library.
# Included from the top-level CMakeLists.txt once the libraries exist.
include_guard(GLOBAL)
set(QV_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QVControls1)
set(QV_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# pkg-config files find the prefix from their own place, so an installed tree
# can be moved.
file(RELATIVE_PATH QV_PC_RELATIVE_PREFIX ${CMAKE_INSTALL_PREFIX}/${QV_PKGCONFIG_INSTALL_DIR}
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QV_PC_RELATIVE_PREFIX "${QV_PC_RELATIVE_PREFIX}")

# qv_install_library(<target> <component file stem> <pkg-config name> <description>
#                    [REQUIRES <pkg-config names...>] [LIBS_PRIVATE <flags...>])
# Installs one library in an export set of its own (QVControls1<stem>Targets,
# read by the package configuration when its component is asked for) and
# writes its pkg-config file. The Qt host uses it too.
function(qv_install_library target stem pc_name description)
  cmake_parse_arguments(arg "" "" "REQUIRES;LIBS_PRIVATE" ${ARGN})
  install(TARGETS ${target} EXPORT QVControls1${stem}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(EXPORT QVControls1${stem}Targets NAMESPACE QVControls1::
    DESTINATION ${QV_CMAKE_INSTALL_DIR})
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(QV_PC_NAME ${pc_name})
  set(QV_PC_DESCRIPTION ${description})
  list(JOIN arg_REQUIRES " " QV_PC_REQUIRES)
  set(QV_PC_LIBRARY ${output_name})
  get_target_property(type ${target} TYPE)
  set(QV_PC_LIBS_PRIVATE)
  if(type STREQUAL "STATIC_LIBRARY")
    list(JOIN arg_LIBS_PRIVATE " " QV_PC_LIBS_PRIVATE)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qvcontrols1.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc
    DESTINATION ${QV_PKGCONFIG_INSTALL_DIR})
endfunction()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The generated export headers (qv/export.hpp, qv/runtime/export.hpp, ...).
install(DIRECTORY ${PROJECT_BINARY_DIR}/include/qv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

get_target_property(QV_CORE_TYPE qvcontrols1 TYPE)
set(QV_DL_FLAG)
if(CMAKE_DL_LIBS)
  set(QV_DL_FLAG -l${CMAKE_DL_LIBS})
endif()
qv_install_library(qvcontrols1 "" qvcontrols1 "${PROJECT_DESCRIPTION}" LIBS_PRIVATE ${QV_DL_FLAG})
qv_install_library(qvcontrols1_runtime Runtime qvcontrols1-runtime
  "The qvSMTP control's services on standalone Asio: event loop, socket, timer, control site"
  REQUIRES qvcontrols1 LIBS_PRIVATE -pthread)
qv_install_library(qvcontrols1_testing Testing qvcontrols1-testing
  "Test doubles of the qvSMTP control's host services" REQUIRES qvcontrols1)
qv_install_library(qvcontrols1_propertyfile Propertyfile qvcontrols1-propertyfile
  "The qvSMTP control's properties in a JSON file" REQUIRES qvcontrols1)
qv_install_library(qvcontrols1_registryfile Registryfile qvcontrols1-registryfile
  "A component registry in a JSON file, for registering the qvSMTP control library"
  REQUIRES qvcontrols1)

# A static build's users also link what the libraries use inside: the JSON
# libraries name nlohmann-json (header-only, so nothing more is linked).
set(QV_JSON_DEPENDENCY)
if(QV_CORE_TYPE STREQUAL "STATIC_LIBRARY")
  set(QV_JSON_DEPENDENCY "find_dependency(nlohmann_json 3)")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QVControls1Config.cmake.in
  ${PROJECT_BINARY_DIR}/QVControls1Config.cmake
  INSTALL_DESTINATION ${QV_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QVControls1ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QVControls1Config.cmake
  ${PROJECT_BINARY_DIR}/QVControls1ConfigVersion.cmake
  DESTINATION ${QV_CMAKE_INSTALL_DIR})
