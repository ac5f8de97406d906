# ovupdate_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2])
# One GoogleTest executable; each TEST becomes a CTest case.
function(ovupdate_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}")
endfunction()
