# The page's logic without a browser: Node's test runner over tests/view/*.test.mjs.
find_program(NODE_EXECUTABLE node)
if(NODE_EXECUTABLE)
  file(GLOB view_unit_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.test.mjs)
  add_test(NAME view_unit COMMAND ${NODE_EXECUTABLE} --test ${view_unit_tests}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_unit PROPERTIES TIMEOUT 120 LABELS view)
endif()
