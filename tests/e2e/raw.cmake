# Raw recovery: the unit tests link the carving library; prendle-cli carve brings back the
# files planted in a re-formatted FAT32 volume, checked against their SHA-256.
target_link_libraries(prendle_unit_tests PRIVATE prendle_raw prendle_raw_pages)
add_test(NAME e2e_raw_carve
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/raw_carve.py $<TARGET_FILE:prendle-cli>
          $<TARGET_FILE:prendle_make_signatures> ${CMAKE_CURRENT_SOURCE_DIR}/fixtures
          ${CMAKE_CURRENT_BINARY_DIR}/e2e-raw)

# The raw fuzz targets' seeds, replayed under the sanitizers.
add_executable(prendle_raw_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/raw_fuzz.cpp
               ${CMAKE_SOURCE_DIR}/fuzz/raw_replay_main.cpp)
target_link_libraries(prendle_raw_fuzz_replay PRIVATE prendle_raw)
foreach(kind raw_signatures raw_carve)
  add_test(NAME fuzz_corpus_${kind}
    COMMAND prendle_raw_fuzz_replay ${kind} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${kind})
endforeach()
