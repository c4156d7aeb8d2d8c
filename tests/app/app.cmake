kelv_test(test_single_instance SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_single_instance.cpp
          LIBS kelv_app Qt6::Network)
kelv_test(test_main_window SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_main_window.cpp
          LIBS kelv_app kelv_resources Qt6::Widgets
          LABELS browser)
kelv_test(test_program SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_program.cpp
          LIBS Qt6::Core
          LABELS browser)
if(TARGET kelv)
  add_dependencies(test_program kelv program_files)
endif()
kelv_test(test_application SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_application.cpp
          LIBS kelv_app kelv_resources Qt6::Widgets
          LABELS browser)
