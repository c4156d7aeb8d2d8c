# scripts/setup.sh against the real apt-get in a private apt world.
kelv_test(test_setup SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_setup.cpp LIBS kelv_common)
