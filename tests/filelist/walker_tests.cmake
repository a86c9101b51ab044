# Tests of the folder walker, the folder chooser and the add-folder command, with the in-memory
# accessor and the scripted platform seams they use from tests/support/.
set(WALKER_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/../support)
add_library(wharfline_walker_test_support STATIC
  ${WALKER_SUPPORT_DIR}/memory_file_system.cpp
  ${WALKER_SUPPORT_DIR}/walker_platform_fakes.cpp
)
target_include_directories(wharfline_walker_test_support PUBLIC ${WALKER_SUPPORT_DIR})
target_link_libraries(wharfline_walker_test_support PUBLIC wharfline_walker Qt6::Core)

add_executable(walker_tests
  ${CMAKE_CURRENT_LIST_DIR}/KeyedList_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pathLogger_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pathLogger_disk_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/add_folder_command_test.cpp
)
target_include_directories(walker_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(walker_tests PRIVATE wharfline_walker_test_support GTest::gtest_main)
gtest_discover_tests(walker_tests)
