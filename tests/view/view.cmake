# The page's logic without a browser: Node's test runner over tests/view/*.test.mjs.
find_program(NODE_EXECUTABLE node)
if(NODE_EXECUTABLE)
  file(GLOB view_unit_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.test.mjs)
  add_test(NAME view_unit COMMAND ${NODE_EXECUTABLE} --test ${view_unit_tests}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_unit PROPERTIES TIMEOUT 120 LABELS view)
endif()

# The page in the real program under Xvfb with the simulated mouse.
find_program(XVFB_EXECUTABLE Xvfb)
find_program(XDOTOOL_EXECUTABLE xdotool)
if(NODE_EXECUTABLE AND XVFB_EXECUTABLE AND XDOTOOL_EXECUTABLE AND TARGET kelv)
  add_test(NAME view_e2e COMMAND ${NODE_EXECUTABLE} --test ${CMAKE_CURRENT_SOURCE_DIR}/e2e.mjs
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_e2e PROPERTIES TIMEOUT 300 LABELS view
    ENVIRONMENT "KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};QTWEBENGINE_DISABLE_SANDBOX=1")
endif()

# Every screen in every language (layout, axe-core) and a keyboard-only session.
if(NODE_EXECUTABLE AND XVFB_EXECUTABLE AND XDOTOOL_EXECUTABLE AND TARGET kelv)
  add_test(NAME view_a11y COMMAND ${NODE_EXECUTABLE} --test ${CMAKE_CURRENT_SOURCE_DIR}/a11y.mjs
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_a11y PROPERTIES TIMEOUT 300 LABELS view
    ENVIRONMENT "KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};QTWEBENGINE_DISABLE_SANDBOX=1")
endif()

# Requests that once crashed the program, and a mode file nested beyond the bound.
if(NODE_EXECUTABLE AND XVFB_EXECUTABLE AND XDOTOOL_EXECUTABLE AND TARGET kelv)
  add_test(NAME view_bounds COMMAND ${NODE_EXECUTABLE} --test ${CMAKE_CURRENT_SOURCE_DIR}/bounds_e2e.mjs
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_bounds PROPERTIES TIMEOUT 300 LABELS view
    ENVIRONMENT "KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};QTWEBENGINE_DISABLE_SANDBOX=1")
endif()
