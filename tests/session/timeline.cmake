# The time line on synthetic streams in fake time (no library, no clock).
ondira_add_test_suite(ondira_timeline_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimeLineTest.cpp ${CMAKE_CURRENT_LIST_DIR}/SyntheticStream.cpp
    LIBRARIES Ondira::session)
# Fed by the shipped library from the real-time virtual headset (about 10 s).
if(TARGET ftd2xx_sim)
    ondira_add_test_suite(ondira_timeline_live
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimeLineLiveTest.cpp
        LIBRARIES Ondira::session ftd2xx_sim
        ENVIRONMENT "ONDIRA_FTD2XX_LIBRARY=$<TARGET_FILE:ftd2xx_sim>"
        TIMEOUT 90)
endif()
