# The sample time line (ondira/session/TimeLine.h): standard C++ only, no
# library, so that it is tested and measured on its own. Built as a static
# library of its own until the session takes its files in.
add_library(ondira_timeline STATIC ${CMAKE_CURRENT_LIST_DIR}/src/TimeLine.cpp)
target_include_directories(ondira_timeline PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
target_link_libraries(ondira_timeline PRIVATE ondira_build_settings)
