# Unit tests: tests/<folder>/<name>_test.cpp, one executable each, labelled
# with the folder. End-to-end tests: tests/e2e/<folder>_<name>_test.cpp (or
# .sh), labelled with the folder and "e2e".
# A machine set up only to build and run the server (install-deps.sh --run)
# has no GoogleTest: it gets the programs without the tests.
find_package(GTest)
if(NOT GTest_FOUND)
  message(WARNING "GoogleTest not found: building without the tests (tools/install-deps.sh installs it)")
  return()
endif()
include(GoogleTest)

# Helpers shared by tests (fixtures, temporary homes, namespace launcher).
file(GLOB test_support CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
list(FILTER test_support EXCLUDE REGEX "_win32\\.cpp$")
if(test_support)
  add_library(nimbora_test_support STATIC ${test_support})
  target_link_libraries(nimbora_test_support PUBLIC ${NIMBORA_LINK} GTest::gtest)
  target_include_directories(nimbora_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
  set(NIMBORA_TEST_SUPPORT nimbora_test_support)
endif()

function(nimbora_gtest file labels)
  get_filename_component(name ${file} NAME_WE)
  get_filename_component(dir ${file} DIRECTORY)
  get_filename_component(folder ${dir} NAME)
  set(target ${folder}_${name})
  add_executable(${target} ${file})
  target_link_libraries(${target} PRIVATE ${NIMBORA_TEST_SUPPORT} ${NIMBORA_LINK} GTest::gtest)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE
    NIMBORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" NIMBORA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  # Labels go on after discovery: a label list handed to the discovery step
  # loses its separators on the way through the generated scripts.
  set(label_file ${CMAKE_BINARY_DIR}/test_labels/${target}.cmake)
  file(WRITE ${label_file}
    "if(DEFINED ${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()

file(GLOB test_folders LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR}/tests
     ${CMAKE_SOURCE_DIR}/tests/*)
list(REMOVE_ITEM test_folders support e2e)
foreach(folder ${test_folders})
  if(NOT IS_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/${folder})
    continue()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*_test.cpp)
  list(FILTER tests EXCLUDE REGEX "_win32_test\\.cpp$")
  foreach(t ${tests})
    nimbora_gtest(${t} "${folder}")
  endforeach()
endforeach()

file(GLOB e2e_cpp CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/*_test.cpp)
foreach(t ${e2e_cpp})
  get_filename_component(name ${t} NAME_WE)
  string(REGEX REPLACE "_.*" "" folder ${name})
  nimbora_gtest(${t} "${folder};e2e")
endforeach()

file(GLOB e2e_sh CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/*_test.sh)
foreach(t ${e2e_sh})
  get_filename_component(name ${t} NAME_WE)
  string(REGEX REPLACE "_.*" "" folder ${name})
  add_test(NAME e2e_${name} COMMAND bash ${t} ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_${name} PROPERTIES LABELS "${folder};e2e" TIMEOUT 300)
endforeach()

# End-to-end tests in Python (the browser tests): Debian's python3, which has
# the Selenium bindings.
file(GLOB e2e_py CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/*_test.py)
foreach(t ${e2e_py})
  get_filename_component(name ${t} NAME_WE)
  string(REGEX REPLACE "_.*" "" folder ${name})
  add_test(NAME e2e_${name} COMMAND /usr/bin/python3 ${t} ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_${name} PROPERTIES LABELS "${folder};e2e" TIMEOUT 300)
endforeach()

# The layering: no #include points upward, and no host call outside the
# host layer.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME layers COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/layers_test.py
           ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/layers.txt)
  set_tests_properties(layers PROPERTIES LABELS "layers")
endif()

# Small programs that end-to-end tests start: tests/e2e/tools/<name>.cpp.
file(GLOB e2e_tools CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/tools/*.cpp)
foreach(t ${e2e_tools})
  get_filename_component(name ${t} NAME_WE)
  add_executable(${name} ${t})
  target_link_libraries(${name} PRIVATE ${NIMBORA_LINK})
endforeach()
