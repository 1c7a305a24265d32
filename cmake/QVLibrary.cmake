# qv_add_library(<target> EXPORT_NAME <name> BASE_NAME <macro base> HEADER <path>
#                SOURCES <files...> [OBJECTS <object libraries...>]
#                [PUBLIC_LINK <targets...>] [PRIVATE_LINK <targets...>])
#
# One of the project's libraries: shared or static as BUILD_SHARED_LIBS says,
# symbols hidden unless marked with <BASE_NAME>_EXPORT from the generated
# header <HEADER> (installed with the public headers). The sources are
# compiled once, into <target>_objects; the library is made from those
# objects, and so is qvcontrols1_internal, the static archive through which
# the unit tests, fuzz targets and benchmarks reach the hidden internals.
# OBJECTS are private helpers compiled once elsewhere: their objects are built
# into the library and their headers seen by its sources, nothing exported.
include_guard(GLOBAL)
include(GenerateExportHeader)

set(QV_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)

# What every object library of the project compiles with: the public headers,
# the generated export headers and the private headers beside the sources.
if(NOT TARGET qv_build_usage)
  add_library(qv_build_usage INTERFACE)
  target_include_directories(qv_build_usage INTERFACE
    ${PROJECT_SOURCE_DIR}/include ${QV_GENERATED_INCLUDE_DIR} ${PROJECT_SOURCE_DIR}/src)
  target_compile_features(qv_build_usage INTERFACE cxx_std_20)
endif()

# qv_limit_exports(<target>): a shared library exports only the project's own
# names (cmake/qvcontrols1.map), whatever the standard library instantiates.
function(qv_limit_exports target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(map ${PROJECT_SOURCE_DIR}/cmake/qvcontrols1.map)
    # A library's calls to its own functions stay its own, also when it is
    # loaded into a program that holds another copy of the same code and
    # exports it (as sanitizer builds export every symbol of a program).
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}"
                        "LINKER:-Bsymbolic-functions")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()

function(qv_add_library target)
  cmake_parse_arguments(arg "" "EXPORT_NAME;BASE_NAME;HEADER" "SOURCES;OBJECTS;PUBLIC_LINK;PRIVATE_LINK"
                        ${ARGN})
  set(objects ${target}_objects)
  add_library(${objects} OBJECT ${arg_SOURCES})
  set_target_properties(${objects} PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${objects} PUBLIC qv_build_usage PRIVATE ${arg_PRIVATE_LINK} ${arg_OBJECTS})
  # Object libraries get no export define of their own: the one the shared
  # library would get marks these objects as its own.
  target_compile_definitions(${objects} PRIVATE ${target}_EXPORTS)

  set(helper_objects)
  foreach(helper ${arg_OBJECTS})
    list(APPEND helper_objects $<TARGET_OBJECTS:${helper}>)
  endforeach()
  add_library(${target} $<TARGET_OBJECTS:${objects}> ${helper_objects})
  add_library(QVControls1::${arg_EXPORT_NAME} ALIAS ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${QV_GENERATED_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${arg_PUBLIC_LINK} PRIVATE ${arg_PRIVATE_LINK})
  # Installed beside each other, the libraries find the ones they need there,
  # wherever the tree is moved.
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1
    EXPORT_NAME ${arg_EXPORT_NAME} CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "$ORIGIN")
  qv_limit_exports(${target})

  # Generated aside, then written where users include it only when it changes.
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_export_generated.hpp)
  generate_export_header(${target} BASE_NAME ${arg_BASE_NAME} EXPORT_FILE_NAME ${generated})
  file(READ ${generated} text)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    # A static build's header says so itself: its users need no define.
    set(text "#ifndef ${arg_BASE_NAME}_STATIC_DEFINE\n#define ${arg_BASE_NAME}_STATIC_DEFINE\n#endif\n${text}")
  endif()
  file(CONFIGURE OUTPUT ${QV_GENERATED_INCLUDE_DIR}/${arg_HEADER} CONTENT "${text}" @ONLY)

  set_property(GLOBAL APPEND PROPERTY QV_LIBRARY_OBJECTS ${objects})
  set_property(GLOBAL APPEND PROPERTY QV_LIBRARY_PRIVATE_LINK ${arg_PRIVATE_LINK})
endfunction()

# qvcontrols1_internal: every library's objects in one static archive, with
# the hidden internals reachable. Call once, after the last qv_add_library.
function(qv_add_internal_archive)
  get_property(objects GLOBAL PROPERTY QV_LIBRARY_OBJECTS)
  get_property(links GLOBAL PROPERTY QV_LIBRARY_PRIVATE_LINK)
  set(sources)
  foreach(object ${objects})
    list(APPEND sources $<TARGET_OBJECTS:${object}>)
  endforeach()
  add_library(qvcontrols1_internal STATIC ${sources})
  list(REMOVE_DUPLICATES links)
  # The project's own libraries are in the archive already: linking them too
  # would load a second copy of the same code into a test program.
  list(FILTER links EXCLUDE REGEX "^qvcontrols1")
  target_link_libraries(qvcontrols1_internal PUBLIC qv_build_usage ${links})
endfunction()
