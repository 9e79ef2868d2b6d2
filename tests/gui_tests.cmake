# SPDX-License-Identifier: GPL-3.0-or-later
# Editor tests: headless Qt (offscreen) driven by real input events.
# Their main() and helpers, compiled once for every program below.
add_library(kestrin_gui_test_main STATIC gui_main.cpp gui_support.cpp gui_support.h)
target_link_libraries(kestrin_gui_test_main PUBLIC kestrin_editor GTest::gtest Qt6::Test
                      PRIVATE kestrin_warnings)
add_executable(editor_tests
    platform_test.cpp
    editor_window_test.cpp
    field_sync_test.cpp
    file_commands_test.cpp
    common_dialogs_test.cpp
    desktop_test.cpp
    window_face_test.cpp
    positions_saved_test.cpp)
target_link_libraries(editor_tests PRIVATE kestrin_gui_test_main kestrin_editor kestrin_warnings
                                   GTest::gtest Qt6::Test)
# A private HOME and XDG folders, made afresh for each ctest run: the file
# dialog writes QtProject.conf, and nothing may land in the user's home.
set(EDITOR_TESTS_HOME ${CMAKE_CURRENT_BINARY_DIR}/editor_tests_home)
add_test(NAME editor_tests_private_home
         COMMAND sh -c ". \"$1\" && rm -rf \"$2\" && private_home \"$2\"" sh
                 ${CMAKE_CURRENT_SOURCE_DIR}/private_home.sh ${EDITOR_TESTS_HOME})
set_tests_properties(editor_tests_private_home PROPERTIES FIXTURES_SETUP editor_tests_home)
set(EDITOR_TESTS_ENVIRONMENT
    QT_QPA_PLATFORM=offscreen
    # A comma locale throughout: every text must still use "." as the decimal point.
    # Messages stay English, the tests look for the system's error texts.
    LC_ALL=
    LANG=de_DE.UTF-8
    LC_MESSAGES=C
    ASAN_OPTIONS=detect_leaks=0
    HOME=${EDITOR_TESTS_HOME}/home
    XDG_CONFIG_HOME=${EDITOR_TESTS_HOME}/config
    XDG_DATA_HOME=${EDITOR_TESTS_HOME}/data
    XDG_CACHE_HOME=${EDITOR_TESTS_HOME}/cache
    XDG_RUNTIME_DIR=${EDITOR_TESTS_HOME}/runtime)
# Every test that opens a window, plays sound or installs holds this lock, so
# that ctest -j runs them one at a time beside the other tests: each starts its
# own Xvfb or sound server, but they share the private HOME above and wait
# for events that a second window or server would only slow.
set(SCREEN_LOCK screen_and_sound)
# Gives the tests discovered from `target` the environment above, the lock,
# and the label "window" that every test opening a window or playing sound
# carries, so `ctest -L window` runs them alone (as when checking them under load).
# gtest_discover_tests would flatten the list (every variable after the first
# became a property name of its own and was never set), so the property is
# set afterwards, from a file ctest reads after the discovered tests.
function(use_editor_tests_environment target)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_environment.cmake)
    file(GENERATE OUTPUT ${file} CONTENT "if(${target}_TESTS)
    set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS window RESOURCE_LOCK ${SCREEN_LOCK}
                         ENVIRONMENT [==[${EDITOR_TESTS_ENVIRONMENT}]==])
endif()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()
gtest_discover_tests(editor_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES FIXTURES_REQUIRED editor_tests_home)
use_editor_tests_environment(editor_tests)

# The editor's command line: help and version without a display, wrong
# arguments, and a file opened at start (under Xvfb where installed).
add_test(NAME editor_command_line
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/command_line_test.sh $<TARGET_FILE:kestrin>)
set_tests_properties(editor_command_line PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")

# The built editor under a virtual X server, driven by keyboard like a user.
find_program(XVFB Xvfb)
find_program(XDOTOOL xdotool)
if(XVFB AND XDOTOOL)
    add_test(NAME e2e_keyboard_open_move_save
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e_keyboard.sh $<TARGET_FILE:kestrin>)
    set_tests_properties(e2e_keyboard_open_move_save PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()
# The waveform panel's pixels on screen at scale factors 1 and 2.
find_program(IMAGEMAGICK_CONVERT convert)
if(XVFB AND XDOTOOL AND IMAGEMAGICK_CONVERT)
    add_test(NAME waveform_panel_draws_at_100_and_200_percent
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/waveform_screenshot.sh $<TARGET_FILE:kestrin>)
    set_tests_properties(waveform_panel_draws_at_100_and_200_percent PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()
# The window and the Find dialog on an 800×600 screen at 200 %, framed by a window manager.
find_program(OPENBOX openbox)
if(XVFB AND XDOTOOL AND IMAGEMAGICK_CONVERT AND OPENBOX)
    add_test(NAME window_and_find_fit_800x600_at_200_percent
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/layout_200_percent.sh $<TARGET_FILE:kestrin>)
    set_tests_properties(window_and_find_fit_800x600_at_200_percent PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()

# What `cmake --install` and the Debian package put on a machine.
add_test(NAME install_tree_valid COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(install_tree_valid PROPERTIES RESOURCE_LOCK ${SCREEN_LOCK})
if(NOT KESTRIN_SANITIZE)
    add_test(NAME deb_package_installs_and_starts
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/deb_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(deb_package_installs_and_starts PROPERTIES TIMEOUT 600 RUN_SERIAL ON)
endif()

# The Loop menu against a private PulseAudio server that the test starts.
add_executable(sound_tests short_wave.h sound_test.cpp)
target_link_libraries(sound_tests PRIVATE kestrin_gui_test_main kestrin_views kestrin_warnings
                                  GTest::gtest Qt6::Test
                      PkgConfig::SNDFILE)
add_dependencies(sound_tests kestrin_sound)
gtest_discover_tests(sound_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES FIXTURES_REQUIRED editor_tests_home TIMEOUT 120)
use_editor_tests_environment(sound_tests)

# Working comfort around the form: undo of loop changes, Revert to Saved, the
# unsaved line, the remembered window, with generated audio.
add_executable(comfort_tests views_fixture.h
    loop_history_test.cpp soundtrack_panel_test.cpp window_memory_test.cpp
    find_undo_test.cpp)
target_link_libraries(comfort_tests PRIVATE kestrin_gui_test_main kestrin_test_tracks kestrin_views
                                    kestrin_pos_tool
                                    kestrin_warnings GTest::gtest
                      Qt6::Test PkgConfig::SNDFILE)
add_dependencies(comfort_tests kestrin_sound)
gtest_discover_tests(comfort_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES FIXTURES_REQUIRED editor_tests_home)
use_editor_tests_environment(comfort_tests)

# Audition Seam heard through a private PulseAudio that scripts/with-pulse starts.
find_program(PULSEAUDIO pulseaudio)
# Closed by its window manager during a search, the editor exits cleanly.
find_program(SOX sox)
if(XVFB AND XDOTOOL AND OPENBOX AND SOX AND PULSEAUDIO)
    add_test(NAME editor_exits_cleanly_when_closed_during_a_search
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/close_exit_test.sh $<TARGET_FILE:kestrin>)
    set_tests_properties(editor_exits_cleanly_when_closed_during_a_search PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} TIMEOUT 120 ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()
add_executable(audition_tests views_fixture.h
    audition_test.cpp)
target_link_libraries(audition_tests PRIVATE kestrin_gui_test_main kestrin_views kestrin_audio
                                     kestrin_warnings GTest::gtest
                      Qt6::Test PkgConfig::SNDFILE)
add_dependencies(audition_tests kestrin_sound)
if(PULSEAUDIO)
    add_test(NAME SoundAuditionSeam
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-pulse $<TARGET_FILE:audition_tests>)
    set_tests_properties(SoundAuditionSeam PROPERTIES LABELS window
        RESOURCE_LOCK ${SCREEN_LOCK} FIXTURES_REQUIRED editor_tests_home TIMEOUT 180
        ENVIRONMENT "${EDITOR_TESTS_ENVIRONMENT}")
endif()

# The waveform panel with audio generated by the tests; no sound server needed.
add_executable(waveform_tests views_fixture.h short_wave.h waveform_test.cpp
    loop_interchange_gui_test.cpp crossfade_seam_gui_test.cpp)
target_link_libraries(waveform_tests PRIVATE kestrin_gui_test_main kestrin_test_tracks kestrin_views
                                     kestrin_warnings GTest::gtest Qt6::Test
                      PkgConfig::SNDFILE)
add_dependencies(waveform_tests kestrin_sound)
gtest_discover_tests(waveform_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES FIXTURES_REQUIRED editor_tests_home)
use_editor_tests_environment(waveform_tests)

# Loop > Refine Loop Points with a generated song; no sound server needed.
add_executable(refine_loop_tests views_fixture.h short_wave.h refine_loop_test.cpp)
target_link_libraries(refine_loop_tests PRIVATE kestrin_gui_test_main kestrin_test_tracks
                                        kestrin_views kestrin_audio kestrin_warnings
                      GTest::gtest Qt6::Test PkgConfig::SNDFILE)
add_dependencies(refine_loop_tests kestrin_sound)
gtest_discover_tests(refine_loop_tests
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES FIXTURES_REQUIRED editor_tests_home TIMEOUT 120)
use_editor_tests_environment(refine_loop_tests)

# The sound module's loader against a module from another build.
add_library(other_sound_module MODULE other_sound_module.cpp)
target_link_libraries(other_sound_module PRIVATE Qt6::Core kestrin_warnings)
add_executable(sound_loader_tests sound_loader_test.cpp)
target_link_libraries(sound_loader_tests PRIVATE kestrin_sound_loader kestrin_warnings
                      GTest::gtest_main)
target_compile_definitions(sound_loader_tests PRIVATE
    OTHER_SOUND_MODULE="$<TARGET_FILE_NAME:other_sound_module>"
    KESTRIN_SOUND_INTERFACE="${KESTRIN_SOUND_INTERFACE}")
# Both land in tests/, so the test names the module by its file name alone.
add_dependencies(sound_loader_tests other_sound_module)
gtest_discover_tests(sound_loader_tests DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
