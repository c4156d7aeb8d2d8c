# A new user's first half hour at the default window size, driven by pointer
# and keys in the real program under Xvfb.
find_program(NODE_EXECUTABLE node)
find_program(XVFB_EXECUTABLE Xvfb)
if(NODE_EXECUTABLE AND XVFB_EXECUTABLE AND TARGET kelv)
  add_test(NAME view_everyday COMMAND ${NODE_EXECUTABLE} --test ${CMAKE_CURRENT_SOURCE_DIR}/everyday.mjs
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_everyday PROPERTIES TIMEOUT 300 LABELS view
    ENVIRONMENT "KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};QTWEBENGINE_DISABLE_SANDBOX=1")
endif()
