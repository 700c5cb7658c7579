find_package(GTest REQUIRED)

# quillet_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
#
# One test executable, registered with CTest under its own name. Widget tests
# run on the offscreen platform. Label "core" marks tests that need no window
# (they also run under the sanitizers); label "root" marks tests that need root
# for network namespaces.
function(quillet_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false"
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}")
endfunction()
