# Editor tests: headless Qt (offscreen) driven by real input events.
add_executable(editor_tests
    gui_main.cpp gui_support.cpp gui_support.h
    platform_test.cpp
    editor_window_test.cpp
    field_sync_test.cpp
    file_commands_test.cpp
    common_dialogs_test.cpp)
target_link_libraries(editor_tests PRIVATE kestrin_editor kestrin_warnings GTest::gtest Qt6::Test)
gtest_discover_tests(editor_tests
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0")
