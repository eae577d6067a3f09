# The build number is the commit count of the checkout unless given (-DZANDREL_BUILD_NUMBER=N).
if(NOT DEFINED ZANDREL_BUILD_NUMBER)
    execute_process(COMMAND git rev-list --count HEAD
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
        OUTPUT_VARIABLE _count OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE _rc ERROR_QUIET)
    if(_rc EQUAL 0 AND _count MATCHES "^[0-9]+$")
        set(ZANDREL_BUILD_NUMBER ${_count})
    else()
        set(ZANDREL_BUILD_NUMBER 0)
    endif()
endif()
set(ZANDREL_BUILD_NUMBER ${ZANDREL_BUILD_NUMBER} CACHE STRING "Build number shown in the About box")
