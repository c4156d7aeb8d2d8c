# The page's logic without a browser: Node's test runner over tests/view/*.test.mjs.
if(NODE_EXECUTABLE)
  file(GLOB view_unit_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.test.mjs)
  add_test(NAME view_unit COMMAND ${NODE_EXECUTABLE} --test ${view_unit_tests}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(view_unit PROPERTIES TIMEOUT 120 LABELS view)
endif()

# The page in the real program under Xvfb with the simulated mouse.
kelv_page_test(view_e2e e2e.mjs)

# The page asleep while the window is hidden: bound programs, plugging in, the
# hot key and the window opened again, in the real program under Xvfb.
if(TARGET kelv_tray_host)
  kelv_page_test(view_asleep asleep.mjs ENVIRONMENT "KELV_TRAY_HOST=$<TARGET_FILE:kelv_tray_host>")
endif()

# Every screen in every language (layout, axe-core) and a keyboard-only session.
kelv_page_test(view_a11y a11y.mjs)

# Requests that once crashed the program, and a mode file nested beyond the bound.
kelv_page_test(view_bounds bounds_e2e.mjs)

# The longest suites start first in a parallel run (ctest orders by cost, which a
# fresh build directory has not measured yet), so none is left running alone at
# the end: their rough seconds on two cores.
foreach(entry view_a11y:170 view_e2e:60 view_asleep:40 view_unit:40)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 suite)
  list(GET entry 1 seconds)
  if(TEST ${suite})
    set_tests_properties(${suite} PROPERTIES COST ${seconds})
  endif()
endforeach()
