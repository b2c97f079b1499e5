# Build helpers shared by every folder.
#
# qm_library(target folder deps...): a static library of every .cpp below the folder;
# a folder with no sources yet gives an interface target, so dependants still configure.
# qm_tests(name label folder deps...): one GoogleTest executable of every .cpp below the
# folder, each test registered with ctest under the label and built by the target tests_<label>;
# a list of labels ("telemetry;crash") gives each test all of them. In a sanitizer build each
# one also carries the sanitizers' default options (tests/support/SanitizerDefaults.cpp).

function(qm_library target folder)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${folder}/*.cpp")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARGN})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARGN})
  endif()
endfunction()

function(qm_tests name label folder)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE test_support ${ARGN} GTest::gtest GTest::gmock)
  if(TARGET sanitizer_defaults)
    target_link_libraries(${name} PRIVATE sanitizer_defaults)
  endif()
  target_compile_definitions(${name} PRIVATE
    QM_TEST_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/${folder}/fixtures")
  list(GET label 0 first_label)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${first_label} TIMEOUT 120
    DISCOVERY_TIMEOUT 60)
  # tests_<label> builds every test executable of one label (the sanitizer passes build no more).
  foreach(each IN LISTS label)
    if(NOT TARGET tests_${each})
      add_custom_target(tests_${each})
    endif()
    add_dependencies(tests_${each} ${name})
  endforeach()
  # The discovery script flattens the properties it is given, so a list of labels is set
  # afterwards, on the list of tests that script leaves in <name>_TESTS.
  list(LENGTH label label_count)
  if(label_count GREATER 1)
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${script}"
      "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${label}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
endfunction()
