# Recording the keys typed into the program's own window (Wayland sessions).
kelv_test(test_window_recording SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_window_recording.cpp
          LIBS kelv_desktop kelv_platform Qt6::Widgets)
