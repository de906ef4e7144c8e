# vt_add_test(<name> SOURCES <files...> LIBS <libs...> [LAUNCHER <command...>])
# One GoogleTest executable per module, registered with ctest. Test binaries live in
# build/tests/, not in the program directory, so they never ship beside the program.
# LAUNCHER runs the test binary through a command (a virtual X server, say).
function(vt_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LAUNCHER" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_definitions(${name} PRIVATE VT_BIN_DIR="${VT_BIN_DIR}" VT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${ARG_LAUNCHER} $<TARGET_FILE:${name}>)
  # Tests never run the real port mapper: it multicasts onto the local network.
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;VTCAM_PORT_MAPPER=${CMAKE_SOURCE_DIR}/tools/upnpc-standin.sh;VTCAM_PORT_MAPPER_LOG=${CMAKE_BINARY_DIR}/upnpc-standin.log")
endfunction()
