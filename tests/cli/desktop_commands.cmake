# sirano-cli autostart and browser.
sirano_add_test(NAME cli_autostart SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_autostart.cpp)
target_compile_definitions(cli_autostart PRIVATE
    SIRANO_CLI_PATH="$<TARGET_FILE:sirano-cli>" SIRANO_EXE="$<TARGET_FILE:sirano>")
add_dependencies(cli_autostart sirano-cli sirano)

# A real headless Chromium behind a `chromium` stand-in on PATH (label browser).
sirano_add_test(NAME cli_browser_launcher SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_browser_launcher.cpp
    LIBS sirano_devtools sirano_chromium_harness LABELS browser)
target_compile_definitions(cli_browser_launcher PRIVATE SIRANO_CLI_PATH="$<TARGET_FILE:sirano-cli>")
add_dependencies(cli_browser_launcher sirano-cli)

# sirano-cli extension: the host manifests for the user's own browsers.
sirano_add_test(NAME cli_extension_setup SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_extension_setup.cpp
    LIBS sirano_extension)
target_compile_definitions(cli_extension_setup PRIVATE
    SIRANO_CLI_PATH="$<TARGET_FILE:sirano-cli>" SIRANO_HOST_BINARY="$<TARGET_FILE:sirano-host>")
add_dependencies(cli_extension_setup sirano-cli sirano-host)
