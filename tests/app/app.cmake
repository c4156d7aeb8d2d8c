kelv_test(test_single_instance SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_single_instance.cpp
          LIBS kelv_app Qt6::Network)
kelv_test(test_main_window SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_main_window.cpp
          LIBS kelv_app kelv_resources Qt6::Widgets
          LABELS browser)
