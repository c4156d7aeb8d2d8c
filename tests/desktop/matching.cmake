# Program bindings against real processes: links, scripts, AppImages and
# Wine-run Windows programs.
kelv_test(test_program_matching SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_program_matching.cpp
          LIBS kelv_desktop kelv_platform)
