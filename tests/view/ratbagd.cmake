# The page with real mice: the real program against libratbag's ratbagd.devel on a private
# bus (tests/view/e2e_ratbagd.mjs; skips, saying why, without the daemon).
kelv_page_test(view_ratbagd e2e_ratbagd.mjs ENVIRONMENT ${KELV_RATBAGD_ENV})
# The same suite against ratbagd 0.18 (D-Bus API 2).
kelv_ratbagd_again(view_ratbagd COMMAND ${NODE_EXECUTABLE} --test
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e_ratbagd.mjs WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
