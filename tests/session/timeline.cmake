# The time line on synthetic streams in fake time (no library, no clock).
ondira_add_test_suite(ondira_timeline_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimeLineTest.cpp ${CMAKE_CURRENT_LIST_DIR}/SyntheticStream.cpp
    LIBRARIES Ondira::session)
# A session and a recording on the real-time virtual headset (about 12 s).
if(TARGET ftd2xx_sim)
    ondira_add_test_suite(ondira_timeline_live
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/TimeLineLiveTest.cpp
        LIBRARIES ondira_recording_test_support Ondira::session ftd2xx_sim
        TIMEOUT 90)
    target_compile_definitions(ondira_timeline_live PRIVATE ONDIRA_SIM_LIBRARY="$<TARGET_FILE:ftd2xx_sim>")
endif()
