# The keyboard macro recorder: scan codes, the item timeline, and recording
# under a private Xvfb with keys typed by xdotool.
kelv_test(test_macro_recorder SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_macro_recorder.cpp
          LIBS kelv_desktop kelv_platform PkgConfig::XCB)
