# Brief runs of every fuzz target as tests of the main build (label fuzz). The targets are
# built apart, with clang, by fuzz/build.sh into QM_FUZZ_BUILD_DIR.
set(QM_FUZZ_SMOKE_SECONDS 25 CACHE STRING "Seconds of each fuzz target's run in the tests")
file(GLOB QM_FUZZ_SMOKE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)
foreach(src ${QM_FUZZ_SMOKE_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" name ${name})
  add_test(NAME fuzz_smoke_${name}
           COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run.sh ${QM_FUZZ_BUILD_DIR} ${name} ${QM_FUZZ_SMOKE_SECONDS})
  set_tests_properties(fuzz_smoke_${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
