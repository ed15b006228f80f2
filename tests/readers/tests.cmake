# Reader cross-check: a dump tool prints every delivered event with its exact
# time, and a python script compares it with mido's parse of random files.
add_executable(dump_events ${CMAKE_CURRENT_LIST_DIR}/tools/dump_events.cpp)
target_link_libraries(dump_events PRIVATE tonvelo_readers tonvelo_warnings tonvelo_sanitize)

add_test(NAME readers.mido_crosscheck
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/tools/crosscheck_mido.py
    --dump $<TARGET_FILE:dump_events>
    --work ${CMAKE_CURRENT_BINARY_DIR}/mido_crosscheck
    --count 300 --seed 20260105)
