# Unit tests on the fake browser.
foreach(name errorlog matching capture fill autofill)
    sirano_add_test(NAME browser_${name}
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${name}.cpp ${CMAKE_CURRENT_SOURCE_DIR}/FakeBrowser.h
        LIBS sirano_browser)
endforeach()
