# The Debian package, built by CPack from this build directory and checked unpacked.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_test(NAME package_deb
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_deb.sh
            ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}/CPackConfig.cmake $<CONFIG>
            ${PROJECT_VERSION} ${CMAKE_CURRENT_BINARY_DIR}/package-test
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
    # cpack strips and compresses both programs: generous for a loaded 2-core machine.
    set_tests_properties(package_deb PROPERTIES TIMEOUT 300)
endif()
