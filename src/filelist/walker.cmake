# The folder walker, the folder chooser and the add-folder command: widget-free, QtCore only.
add_library(wharfline_walker STATIC
  ${CMAKE_CURRENT_LIST_DIR}/KeyedList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pathLogger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/add_folder_command.cpp
)
target_link_libraries(wharfline_walker PUBLIC wharfline_base Qt6::Core)
