# The Updater program, run as a real process on a throw-away program folder.
kelv_test(tst_updater SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_updater.cpp LIBS kelv_update Qt6::Core)
add_dependencies(tst_updater Updater)
