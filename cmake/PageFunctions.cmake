# The page functions' bodies (src/browser/page/*.js), whole-line comments left out, as variables
# PAGE_PRELUDE, PAGE_READ and PAGE_WRITE. The DevTools route embeds them in C++, the companion
# extension in its background script: one text for both.
set(SIRANO_PAGE_FUNCTIONS_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/browser/page)
foreach(part prelude read write)
    set(file ${SIRANO_PAGE_FUNCTIONS_DIR}/${part}.js)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(READ ${file} text)
    string(REGEX REPLACE "(^|\n)[ ]*//[^\n]*" "" text "${text}")
    string(TOUPPER ${part} upper)
    set(PAGE_${upper} "${text}")
endforeach()
