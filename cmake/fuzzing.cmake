# fuzzing.cmake -- libFuzzer targets (clang only): each tests/fuzz/*_fuzz.cpp is one fuzzer.
#
# The targets run under ASan and UBSan; a UBSan finding aborts like any other crash, so that
# libFuzzer keeps it. zlib is the deflate target's witness. fuzz_seeds writes the seed corpora
# with the test-side package writer: build-fuzz-run/fuzz_seeds tests/fuzz/corpus
option(TARNVEL_FUZZ "build the libFuzzer targets (needs clang)" OFF)
if(TARNVEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARNVEL_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  target_compile_options(tarnvel_core PRIVATE -fno-sanitize-recover=all)
  file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(source ${FUZZ_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer -fno-sanitize-recover=all)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE tarnvel_core ZLIB::ZLIB)
    tarnvel_warnings(${name})
  endforeach()

  add_executable(fuzz_seeds ${PROJECT_SOURCE_DIR}/tests/fuzz/make_seeds.cpp
                            ${PROJECT_SOURCE_DIR}/tests/fixtures/sfx_writer.cpp)
  target_include_directories(fuzz_seeds PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(fuzz_seeds PRIVATE tarnvel_core ZLIB::ZLIB libdeflate::libdeflate)
  tarnvel_warnings(fuzz_seeds)
endif()
