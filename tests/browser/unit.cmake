# Unit tests on the fake browser.
foreach(name errorlog matching capture fill autofill)
    sirano_add_test(NAME browser_${name}
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${name}.cpp ${CMAKE_CURRENT_SOURCE_DIR}/FakeBrowser.h
        LIBS sirano_browser)
endforeach()

# The link to the browser without a browser: port owners, the endpoint query, the command line.
sirano_add_test(NAME browser_link
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_browser_link.cpp
    LIBS sirano_devtools sirano_chromium_harness)

# The websocket under the DevTools connection, against a loopback server playing the browser.
sirano_add_test(NAME browser_websocket
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_websocket.cpp
    LIBS sirano_devtools)
