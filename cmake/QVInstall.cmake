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
#                    [REQUIRES <pkg-config names...>] [REQUIRES_PRIVATE <names...>]
#                    [LIBS_PRIVATE <flags...>])
# Installs one library in an export set of its own (QVControls1<stem>Targets,
# read by the package configuration when its component is asked for) and
# writes its pkg-config file. The Qt host uses it too.
function(qv_install_library target stem pc_name description)
  cmake_parse_arguments(arg "" "" "REQUIRES;REQUIRES_PRIVATE;LIBS_PRIVATE" ${ARGN})
  # A library that lists its public headers in a header set installs them
  # with itself.
  set(file_sets)
  get_target_property(header_sets ${target} INTERFACE_HEADER_SETS)
  if(NOT header_sets)
    set(header_sets)
  endif()
  foreach(header_set IN LISTS header_sets)
    list(APPEND file_sets FILE_SET ${header_set} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  endforeach()
  install(TARGETS ${target} EXPORT QVControls1${stem}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ${file_sets})
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
  set(QV_PC_REQUIRES_PRIVATE)
  if(type STREQUAL "STATIC_LIBRARY")
    list(JOIN arg_LIBS_PRIVATE " " QV_PC_LIBS_PRIVATE)
    list(JOIN arg_REQUIRES_PRIVATE " " QV_PC_REQUIRES_PRIVATE)
  endif()
  set(template qvcontrols1.pc.in)
  if(type STREQUAL "INTERFACE_LIBRARY")
    # Header only: no library file, its definitions as flags.
    set(template qvcontrols1-headers.pc.in)
    get_target_property(definitions ${target} INTERFACE_COMPILE_DEFINITIONS)
    set(QV_PC_CFLAGS)
    foreach(definition IN LISTS definitions)
      if(definition)
        list(APPEND QV_PC_CFLAGS -D${definition})
      endif()
    endforeach()
    list(JOIN QV_PC_CFLAGS " " QV_PC_CFLAGS)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${template}
    ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc_name}.pc
    DESTINATION ${QV_PKGCONFIG_INSTALL_DIR})
endfunction()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The generated export headers (qv/export.hpp, qv/runtime/export.hpp, ...).
install(DIRECTORY ${PROJECT_BINARY_DIR}/include/qv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# What each library says of itself in its pkg-config file; a library added
# later without a line here gets a plain one.
set(QV_DESCRIPTION_qvcontrols1 "${PROJECT_DESCRIPTION}")
set(QV_DESCRIPTION_component
  "The qvSMTP control's automation surface, identity and registration entry points")
set(QV_DESCRIPTION_connection
  "The qvSMTP control's socket and timer services over a host's event loop")
set(QV_DESCRIPTION_runtime
  "The qvSMTP control's own event loop and control site")
set(QV_DESCRIPTION_asio
  "The qvSMTP control on a program's own standalone Asio io_context (header-only)")
set(QV_DESCRIPTION_testing "Test doubles of the qvSMTP control's host services")
set(QV_DESCRIPTION_propertyfile "The qvSMTP control's properties in a JSON file")
set(QV_DESCRIPTION_registryfile
  "A component registry in a JSON file, for registering the qvSMTP control library")

# Every installed library, its pkg-config file and the components it needs,
# read from its own link lists: the project's libraries it links become
# Requires (public) or Requires.private, the system's become Libs.private.
set(QV_COMPONENT_REQUIRES)
foreach(target ${QV_INSTALL_TARGETS})
  get_target_property(component ${target} EXPORT_NAME)
  get_target_property(public_links ${target} INTERFACE_LINK_LIBRARIES)
  get_target_property(type ${target} TYPE)
  set(all_links ${public_links})
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(all_links ${target} LINK_LIBRARIES)
  endif()
  set(requires)
  set(requires_private)
  set(needs)
  set(libs_private)
  foreach(link IN LISTS all_links)
    if(link MATCHES "^\\$<" OR NOT link)
      continue()  # build-tree only, such as the runtime's Asio
    elseif(TARGET ${link} AND link MATCHES "^qvcontrols1")
      get_target_property(link_component ${link} EXPORT_NAME)
      set(link_pc qvcontrols1-${link_component})
      if(link_component STREQUAL "qvcontrols1")
        set(link_pc qvcontrols1)
      else()
        list(APPEND needs ${link_component})
      endif()
      if(link IN_LIST public_links)
        list(APPEND requires ${link_pc})
      else()
        list(APPEND requires_private ${link_pc})
      endif()
    elseif(link STREQUAL "Threads::Threads")
      list(APPEND libs_private -pthread)
    elseif(link IN_LIST CMAKE_DL_LIBS)
      list(APPEND libs_private -l${link})
    elseif(link STREQUAL "OpenSSL::SSL")
      list(APPEND libs_private -lssl -lcrypto)
    endif()
  endforeach()
  if(target STREQUAL "qvcontrols1")
    qv_install_library(${target} "" qvcontrols1 "${QV_DESCRIPTION_qvcontrols1}"
      LIBS_PRIVATE ${libs_private})
    continue()
  endif()
  if(NOT requires)
    set(requires qvcontrols1)
  endif()
  set(description "${QV_DESCRIPTION_${component}}")
  if(NOT description)
    set(description "The qvSMTP control's ${component} library")
  endif()
  string(SUBSTRING ${component} 0 1 first)
  string(SUBSTRING ${component} 1 -1 rest)
  string(TOUPPER ${first} first)
  qv_install_library(${target} ${first}${rest} qvcontrols1-${component} "${description}"
    REQUIRES ${requires} REQUIRES_PRIVATE ${requires_private} LIBS_PRIVATE ${libs_private})
  list(REMOVE_DUPLICATES needs)
  string(APPEND QV_COMPONENT_REQUIRES "set(_qv_needs_${component} ${needs})\n")
endforeach()
# The Qt host (qt/, installed after this file) stands on the connection core
# and the component surface.
string(APPEND QV_COMPONENT_REQUIRES "set(_qv_needs_qt connection component)\n")
set(QV_KNOWN_COMPONENTS ${QV_INSTALL_COMPONENTS} qt asio)
list(REMOVE_DUPLICATES QV_KNOWN_COMPONENTS)
list(JOIN QV_KNOWN_COMPONENTS "|" QV_COMPONENT_PATTERN)
list(JOIN QV_KNOWN_COMPONENTS ", " QV_COMPONENT_NAMES)

get_target_property(QV_CORE_TYPE qvcontrols1 TYPE)
# A static build's users also link what the libraries use inside: the JSON
# libraries name nlohmann-json (header-only, so nothing more is linked).
set(QV_JSON_DEPENDENCY)
set(QV_OPENSSL_DEPENDENCY)
if(QV_CORE_TYPE STREQUAL "STATIC_LIBRARY")
  set(QV_JSON_DEPENDENCY "find_dependency(nlohmann_json 3)")
  # The connection library's TLS is OpenSSL, linked by its static users.
  set(QV_OPENSSL_DEPENDENCY "find_dependency(OpenSSL 3)")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QVControls1Config.cmake.in
  ${PROJECT_BINARY_DIR}/QVControls1Config.cmake
  INSTALL_DESTINATION ${QV_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QVControls1ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QVControls1Config.cmake
  ${PROJECT_BINARY_DIR}/QVControls1ConfigVersion.cmake
  DESTINATION ${QV_CMAKE_INSTALL_DIR})
