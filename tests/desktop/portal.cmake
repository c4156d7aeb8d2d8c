# Global hot keys through the desktop portal on a private session bus.
kelv_test(test_portal_shortcut SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_portal_shortcut.cpp
          LIBS kelv_desktop Qt6::DBus)
