# oru_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable whose
# cases are registered with CTest one by one, so ctest -j runs them in parallel.
include(GoogleTest)
function(oru_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ORU_BUILD_TESTS)
    return()
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} oru_test_support GTest::gmock GTest::gtest_main oru_warnings)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
