# host.cmake -- the Linux build: the core on the host stand-in, tests, tools and benchmarks.
add_library(tarnvel_core STATIC
  ${TARNVEL_CORE_SOURCES}
  ${PROJECT_SOURCE_DIR}/platform/host/host_platform.cpp)
target_include_directories(tarnvel_core PUBLIC ${PROJECT_SOURCE_DIR})
tarnvel_warnings(tarnvel_core)

find_package(ZLIB REQUIRED)
find_library(LIBDEFLATE_LIBRARY NAMES deflate REQUIRED)
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
add_library(libdeflate::libdeflate UNKNOWN IMPORTED)
set_target_properties(libdeflate::libdeflate PROPERTIES
  IMPORTED_LOCATION ${LIBDEFLATE_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${LIBDEFLATE_INCLUDE_DIR})

if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

option(TARNVEL_TESTS "build the tests" ON)
if(TARNVEL_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()

option(TARNVEL_BENCH "build the benchmarks" ON)
if(TARNVEL_BENCH AND EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
