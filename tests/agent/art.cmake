# Tests of the character packages, the packer and the character window.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MURMELO_TEST_LIBZIP REQUIRED IMPORTED_TARGET libzip)
find_package(Qt6 6.4 COMPONENTS Widgets Svg)

# Until the agent libraries hold these sources, the tests compile them themselves.
set(_art_src ${CMAKE_SOURCE_DIR}/src/agent)
if(TARGET MUAgent)
  set(_art_loader MUAgent)
  set(_art_loader_src)
else()
  set(_art_loader)
  set(_art_loader_src ${_art_src}/CharacterPackageLoader.cpp)
endif()

murmelo_add_test(tst_package_loader
  SOURCES tst_package_loader.cpp ${_art_loader_src}
  LIBS ${_art_loader} agent_test_support PkgConfig::MURMELO_TEST_LIBZIP Qt6::Core
  LABELS agent)
target_include_directories(tst_package_loader PRIVATE ${CMAKE_SOURCE_DIR}/src)
if(TARGET characters)
  add_dependencies(tst_package_loader characters)
endif()

if(TARGET murmelo-packchar)
  murmelo_add_test(tst_package_packer
    SOURCES tst_package_packer.cpp ${_art_loader_src}
    LIBS ${_art_loader} agent_test_support PkgConfig::MURMELO_TEST_LIBZIP Qt6::Core
    LABELS agent)
  target_include_directories(tst_package_packer PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_definitions(tst_package_packer PRIVATE MURMELO_PACKCHAR="$<TARGET_FILE:murmelo-packchar>")
  add_dependencies(tst_package_packer murmelo-packchar)
endif()

if(TARGET Qt6::Widgets AND TARGET Qt6::Svg)
  set(_art_window_src)
  set(_art_window_lib)
  if(TARGET MUAgentWidgets)
    set(_art_window_lib MUAgentWidgets)
  else()
    set(_art_window_src ${_art_src}/CharacterWindow.cpp ${_art_src}/BalloonWidget.cpp ${_art_loader_src})
    set(_art_window_lib ${_art_loader} PkgConfig::MURMELO_TEST_LIBZIP)
  endif()
  murmelo_add_test(tst_window_character
    SOURCES tst_window_character.cpp XvfbDisplay.cpp ${_art_window_src}
    LIBS ${_art_window_lib} Qt6::Widgets Qt6::Svg
    LABELS agent gui
    TIMEOUT 120)
  target_include_directories(tst_window_character PRIVATE ${CMAKE_SOURCE_DIR}/src ${_art_src})
  if(TARGET characters)
    add_dependencies(tst_window_character characters)
  endif()
endif()

if(TARGET MUAgentWidgets)
  murmelo_add_test(tst_window_control
    SOURCES tst_window_control.cpp XvfbDisplay.cpp
    LIBS MUAgentWidgets Qt6::Widgets
    LABELS agent gui
    TIMEOUT 180)
  target_include_directories(tst_window_control PRIVATE ${CMAKE_SOURCE_DIR}/src)
  if(TARGET characters)
    add_dependencies(tst_window_control characters)
  endif()
endif()
