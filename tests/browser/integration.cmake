# Integration tests on a real headless Chromium and a loopback page server (label: browser).
add_library(sirano_chromium_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/ChromiumHarness.cpp
                                           ${CMAKE_CURRENT_SOURCE_DIR}/PageServer.cpp ${CMAKE_CURRENT_SOURCE_DIR}/PageServer.h
                                           ${CMAKE_CURRENT_SOURCE_DIR}/ChromiumHarness.h)
target_link_libraries(sirano_chromium_harness PUBLIC sirano_devtools Qt6::Core)
target_include_directories(sirano_chromium_harness PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(sirano_chromium_harness PUBLIC
    SIRANO_FIXTURES="${PROJECT_SOURCE_DIR}/tests/fixtures")

sirano_add_test(NAME browser_chromium
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_chromium_browser.cpp
    LIBS sirano_devtools sirano_chromium_harness
    LABELS browser)

# The capture and the fills of the tray program, end to end on the same browser.
sirano_add_test(NAME browser_chromium_automation
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_chromium_automation.cpp
    LIBS sirano_devtools sirano_chromium_harness
    LABELS browser)

# The same work through the companion extension and sirano-host, in Chromium and in Firefox ESR.
sirano_add_test(NAME browser_extension_chromium
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_extension_browser.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/ExtensionSetup.h
    LIBS sirano_extension sirano_chromium_harness
    LABELS browser)
# The tray's socket and sirano-host without a browser.
sirano_add_test(NAME browser_extension_link
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_extension_link.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/ExtensionSetup.h
    LIBS sirano_extension)
foreach(test browser_extension_chromium browser_extension_link)
    add_dependencies(${test} sirano-host)
    target_compile_definitions(${test} PRIVATE
        SIRANO_HOST_BINARY="$<TARGET_FILE:sirano-host>" SIRANO_WEBEXT_DIR="${SIRANO_WEBEXT_DIR}")
endforeach()
add_library(sirano_firefox_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/FirefoxHarness.cpp
                                          ${CMAKE_CURRENT_SOURCE_DIR}/FirefoxHarness.h)
target_link_libraries(sirano_firefox_harness PUBLIC sirano_chromium_harness)
sirano_add_test(NAME browser_extension_firefox
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_extension_browser.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/ExtensionSetup.h
    LIBS sirano_extension sirano_firefox_harness
    LABELS browser)
target_compile_definitions(browser_extension_firefox PRIVATE SIRANO_TEST_FIREFOX
    SIRANO_CLI_PATH="$<TARGET_FILE:sirano-cli>")
add_dependencies(browser_extension_firefox sirano-cli)
foreach(test browser_extension_firefox)
    add_dependencies(${test} sirano-host)
    target_compile_definitions(${test} PRIVATE
        SIRANO_HOST_BINARY="$<TARGET_FILE:sirano-host>" SIRANO_WEBEXT_DIR="${SIRANO_WEBEXT_DIR}")
endforeach()
