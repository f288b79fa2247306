# sirano-cli's browser commands: the refusals that need no browser.
sirano_add_test(NAME cli_browser_commands SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_browser_commands.cpp LIBS sirano_store)
target_compile_definitions(cli_browser_commands PRIVATE SIRANO_CLI_PATH="$<TARGET_FILE:sirano-cli>")
add_dependencies(cli_browser_commands sirano-cli)
