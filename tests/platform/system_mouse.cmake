# The system mouse settings on each desktop, with the desktops' real tools and
# stores on a private D-Bus session.
kelv_test(test_system_mouse SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_system_mouse.cpp
          LIBS kelv_platform)
