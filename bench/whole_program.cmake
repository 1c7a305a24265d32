# The programs of the whole-program benchmarks (bench/run.sh): many controls
# on one event loop, and the plain loopback socket peer of the large body (in
# plain text and over STARTTLS, hence OpenSSL).
# Included from bench/CMakeLists.txt; both land in <build>/bench/.
include_guard(GLOBAL)
find_package(CLI11 CONFIG QUIET)
if(NOT TARGET CLI11::CLI11)
  find_path(QV_CLI11_INCLUDE_DIR CLI/CLI.hpp)
  if(NOT QV_CLI11_INCLUDE_DIR)
    message(FATAL_ERROR "CLI11 not found: install libcli11-dev")
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 INTERFACE ${QV_CLI11_INCLUDE_DIR})
endif()
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenSSL 3 REQUIRED)

add_executable(qv_many_controls ${CMAKE_CURRENT_LIST_DIR}/many_controls.cpp)
target_link_libraries(qv_many_controls PRIVATE qvcontrols1_runtime CLI11::CLI11
  nlohmann_json::nlohmann_json)

add_executable(qv_plain_client ${CMAKE_CURRENT_LIST_DIR}/plain_client.cpp)
target_link_libraries(qv_plain_client PRIVATE CLI11::CLI11 OpenSSL::SSL)

foreach(target qv_many_controls qv_plain_client)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endforeach()
