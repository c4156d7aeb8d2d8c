# Removes from the list variable the sources of the other operating system:
# *_win.cpp on Linux, *_linux.cpp on Windows.
function(kelv_drop_other_platforms list_var)
  set(sources ${${list_var}})
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "_linux\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win\\.cpp$")
  endif()
  set(${list_var} ${sources} PARENT_SCOPE)
endfunction()

# kelv_library(<name> [LIBS <targets>...])
# One static library per source folder: every .cpp/.h of the folder (and its
# sub-folders), except the implementations of other platforms.
function(kelv_library name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  kelv_drop_other_platforms(sources)
  set(cpp ${sources})
  list(FILTER cpp INCLUDE REGEX "\\.cpp$")
  if(cpp)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC kelv_warnings ${ARG_LIBS})
  else()
    # A folder whose code has not landed yet: headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE kelv_warnings ${ARG_LIBS})
  endif()
endfunction()

# kelv_program(<name> SOURCES ... [LIBS ...]): an executable placed in the program folder.
function(kelv_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE kelv_warnings ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KELV_PROGRAM_DIR}
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
endfunction()

# kelv_test(<name> SOURCES ... [LIBS ...] [ENV ...] [LABELS ...]): a QtTest suite run by ctest.
# Tests run offscreen; the WebEngine sandbox is off because CI runs as root.
# Suites never reach the machine's own system bus (and a ratbagd on it): libdc finds none
# there. The suites that run ratbagd start a private bus and point DBUS_SYSTEM_BUS_ADDRESS at it.
set(KELV_TEST_SYSTEM_BUS "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/kelv-test-system-bus")

function(kelv_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE kelv_warnings testsupport Qt6::Test ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "${ARG_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};KELV_SOURCE_DIR=${CMAKE_SOURCE_DIR};${KELV_TEST_SYSTEM_BUS};${ARG_ENV}")
endfunction()

# kelv_doctest(<name> SOURCES ... [LIBS ...] [ENV ...] [DISPLAY]): a doctest suite of
# Qt-free code, built from the same sources for Linux and for Windows. In the
# Windows cross build ctest runs it through the emulator (Wine). DISPLAY: the
# suite needs a window system; on Linux it runs on an Xvfb display of its own,
# under Wine on the display that scripts/build-windows.sh provides.
function(kelv_doctest name)
  cmake_parse_arguments(ARG "DISPLAY" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE kelv_warnings kelv_doctest_main ${ARG_LIBS})
  if(ARG_DISPLAY AND NOT WIN32)
    add_test(NAME ${name}
      COMMAND sh ${CMAKE_SOURCE_DIR}/tests/testsupport/with_xvfb.sh $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(program_dir ${KELV_PROGRAM_DIR})
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(program_dir "Z:${KELV_PROGRAM_DIR}") # Wine's drive for the host's root
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "doctest"
    ENVIRONMENT "KELV_PROGRAM_DIR=${program_dir};KELV_SOURCE_DIR=${CMAKE_SOURCE_DIR};${KELV_TEST_SYSTEM_BUS};${ARG_ENV}")
endfunction()

# kelv_msvc_guard(<target>...): in a Windows build, the target's own sources cannot include
# the POSIX headers that mingw-w64 has but MSVC (which the Windows program is built with,
# Qt WebEngine needs it) lacks: cmake/msvc-guard holds one that stops the build for each.
function(kelv_msvc_guard)
  if(WIN32)
    foreach(target ${ARGN})
      target_include_directories(${target} BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/cmake/msvc-guard)
    endforeach()
  endif()
endfunction()
