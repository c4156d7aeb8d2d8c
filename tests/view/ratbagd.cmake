# The page with real mice: the real program against libratbag's ratbagd.devel on a private
# bus (tests/view/e2e_ratbagd.mjs; skips, saying why, without the daemon).
if(NODE_EXECUTABLE AND XVFB_EXECUTABLE AND XDOTOOL_EXECUTABLE AND TARGET kelv)
  add_test(NAME view_ratbagd COMMAND ${NODE_EXECUTABLE} --test ${CMAKE_CURRENT_SOURCE_DIR}/e2e_ratbagd.mjs
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_ratbagd PROPERTIES TIMEOUT 300 LABELS view
    ENVIRONMENT "KELV_PROGRAM_DIR=${KELV_PROGRAM_DIR};QTWEBENGINE_DISABLE_SANDBOX=1;${KELV_RATBAGD_ENV}")
endif()
