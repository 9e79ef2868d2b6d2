# SPDX-License-Identifier: GPL-3.0-or-later
# The editor's interactive cost, and its start-up beside a bare Qt window.
add_executable(editor_bench editor_bench.cpp)
target_link_libraries(editor_bench PRIVATE kestrin_editor kestrin_warnings benchmark::benchmark Qt6::Test)

add_executable(startup_editor startup_probe.cpp)
target_compile_definitions(startup_editor PRIVATE KESTRIN_PROBE_EDITOR=1)
target_link_libraries(startup_editor PRIVATE kestrin_views kestrin_warnings)

add_executable(startup_bare startup_probe.cpp)
target_link_libraries(startup_bare PRIVATE Qt6::Widgets kestrin_warnings)

configure_file(startup.sh ${CMAKE_CURRENT_BINARY_DIR}/startup.sh COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/tests/x11_window.sh ${CMAKE_CURRENT_BINARY_DIR}/x11_window.sh COPYONLY)
# Close to exit of the editor in the middle of a search, and what it needs.
foreach(script bench/close_exit.sh tests/private_home.sh tests/square_wave.sh scripts/with-pulse)
    configure_file(${CMAKE_SOURCE_DIR}/${script} ${CMAKE_CURRENT_BINARY_DIR} COPYONLY)
endforeach()

# Playback latency and cost; run through scripts/with-pulse.
find_package(Qt6 REQUIRED COMPONENTS Multimedia)
add_executable(playback_bench playback_bench.cpp)
target_link_libraries(playback_bench PRIVATE kestrin_views kestrin_warnings benchmark::benchmark
                      Qt6::Test Qt6::Multimedia PkgConfig::SNDFILE)
add_dependencies(playback_bench kestrin_sound)

# The waveform panel on a 10-minute track: summary, Open, repaint and drag.
add_executable(waveform_bench waveform_bench.cpp)
target_link_libraries(waveform_bench PRIVATE kestrin_views kestrin_audio kestrin_warnings
                      benchmark::benchmark Qt6::Test PkgConfig::SNDFILE)
add_dependencies(waveform_bench kestrin_sound)

# A folder of 200 tracks judged by the sound module, beside listing it.
add_executable(soundtrack_bench soundtrack_bench.cpp)
target_link_libraries(soundtrack_bench PRIVATE kestrin_views kestrin_warnings benchmark::benchmark
                      Qt6::Test PkgConfig::SNDFILE)
add_dependencies(soundtrack_bench kestrin_sound)

# The editor's Find on two hours and typing into a 30-minute Ogg.
add_executable(editor_long_track_bench editor_long_track_bench.cpp)
target_link_libraries(editor_long_track_bench PRIVATE kestrin_views kestrin_warnings
                      benchmark::benchmark Qt6::Test PkgConfig::SNDFILE)
target_compile_definitions(editor_long_track_bench
                           PRIVATE ${pos_program_from_bench})
add_dependencies(editor_long_track_bench kestrin_sound kestrin-pos)

# Start and Exit over a settings file keeping the positions of 200,000 files.
add_executable(kept_positions_bench kept_positions_bench.cpp)
target_link_libraries(kept_positions_bench PRIVATE kestrin_views kestrin_warnings
                      benchmark::benchmark Qt6::Test)
