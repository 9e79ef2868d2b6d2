# SPDX-License-Identifier: GPL-3.0-or-later
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
    # A comma locale throughout: every text must still use "." as the decimal point.
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=de_DE.UTF-8;ASAN_OPTIONS=detect_leaks=0")

# The built editor under a virtual X server, driven by keyboard like a user.
find_program(XVFB_RUN xvfb-run)
find_program(XDOTOOL xdotool)
if(XVFB_RUN AND XDOTOOL)
    add_test(NAME e2e_keyboard_open_move_save
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e_keyboard.sh $<TARGET_FILE:kestrin>)
    set_tests_properties(e2e_keyboard_open_move_save PROPERTIES
        TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()

# What `cmake --install` and the Debian package put on a machine.
add_test(NAME install_tree_valid COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
if(NOT KESTRIN_SANITIZE)
    add_test(NAME deb_package_installs_and_starts
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/deb_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(deb_package_installs_and_starts PROPERTIES TIMEOUT 600 RUN_SERIAL ON)
endif()

# The Loop menu against a private PulseAudio server that the test starts.
add_executable(sound_tests gui_main.cpp gui_support.cpp gui_support.h sound_test.cpp)
target_link_libraries(sound_tests PRIVATE kestrin_views kestrin_warnings GTest::gtest Qt6::Test
                      PkgConfig::SNDFILE)
add_dependencies(sound_tests kestrin_sound)
gtest_discover_tests(sound_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0" TIMEOUT 120)
