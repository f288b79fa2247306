# Unit tests on the fake browser.
foreach(name errorlog matching capture fill autofill choice page_answers)
    sirano_add_test(NAME browser_${name}
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${name}.cpp ${CMAKE_CURRENT_SOURCE_DIR}/FakeBrowser.h
        LIBS sirano_browser)
endforeach()

# The link to the browser without a browser: port owners, the endpoint query, the command line.
sirano_add_test(NAME browser_link
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_browser_link.cpp
    LIBS sirano_devtools sirano_chromium_harness)

# Whose a loopback port and a connection to it are: the decision, netlink and /proc, the race
# between the check and the connection (that one as root).
sirano_add_test(NAME browser_port_owner
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_port_owner.cpp
    LIBS sirano_devtools)

# A misbehaving DevTools peer of the user's own: every bound ends the connection, with back-off.
sirano_add_test(NAME browser_hostile_peer
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_hostile_peer.cpp
    LIBS sirano_devtools)

# The websocket under the DevTools connection, against a loopback server playing the browser.
sirano_add_test(NAME browser_websocket
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_websocket.cpp
    LIBS sirano_devtools)
