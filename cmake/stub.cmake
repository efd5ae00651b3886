# stub.cmake -- the Windows stub, built small: no exceptions, no RTTI, unused sections dropped.
enable_language(RC)
add_executable(tarnvel_stub WIN32
  ${TARNVEL_CORE_SOURCES}
  ${PROJECT_SOURCE_DIR}/platform/win32/win32_platform.cpp
  ${PROJECT_SOURCE_DIR}/shell/win_main.cpp
  ${PROJECT_SOURCE_DIR}/resources/stub.rc)
target_include_directories(tarnvel_stub PRIVATE ${PROJECT_SOURCE_DIR})
tarnvel_warnings(tarnvel_stub)
target_compile_options(tarnvel_stub PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fno-threadsafe-statics>)
# No -fdata-sections: with it mingw places zero-filled buffers in .data, 100 KB of zeros in the file.
target_link_options(tarnvel_stub PRIVATE -mwindows -static -s -Wl,--gc-sections)
# comctl32 and shell32 are loaded at run time, after the DLL search is limited.
set_target_properties(tarnvel_stub PROPERTIES
  OUTPUT_NAME ${TARNVEL_STUB_NAME}
  RUNTIME_OUTPUT_DIRECTORY ${TARNVEL_DIST})
# The resource script pulls these in; CMake does not see them as its dependencies.
set_source_files_properties(${PROJECT_SOURCE_DIR}/resources/stub.rc PROPERTIES OBJECT_DEPENDS
  "${PROJECT_SOURCE_DIR}/resources/stub.manifest;${PROJECT_SOURCE_DIR}/resources/stub.ico;${PROJECT_SOURCE_DIR}/resources/resource_ids.h")
