# Regression tests from the package fuzz target (tests/fuzz).
kelv_test(tst_update_fuzz_regressions SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_fuzz_regressions.cpp
  LIBS kelv_update Qt6::Network PkgConfig::LZMA)
