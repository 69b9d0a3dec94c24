# murmelo_add_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
# One Qt Test executable registered with CTest; GUI-free by default (offscreen platform).
function(murmelo_add_test name)
  if(NOT MURMELO_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  # No test reaches the desktop's session bus (its keyring above all); the tests that need a
  # bus start a private one.
  set(_murmelo_no_bus "DBUS_SESSION_BUS_ADDRESS=unix:path=${CMAKE_BINARY_DIR}/no-session-bus")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;MURMELO_SOURCE_DIR=${CMAKE_SOURCE_DIR};MURMELO_BUILD_DIR=${CMAKE_BINARY_DIR};${_murmelo_no_bus}"
    LABELS "${T_LABELS}")
endfunction()
