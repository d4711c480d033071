# The time line on synthetic streams in fake time (no library, no clock).
ondira_add_test_suite(ondira_timeline_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimeLineTest.cpp ${CMAKE_CURRENT_LIST_DIR}/SyntheticStream.cpp
    LIBRARIES ondira_timeline)
