# prendle-cli list and recover on HFS+ volumes (macOS-written and built) against what The
# Sleuth Kit read from them, and the deep mode on a volume whose headers are zeroed.
add_test(NAME e2e_hfsplus_reference
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/hfsplus_reference.py $<TARGET_FILE:prendle-cli>
          ${CMAKE_CURRENT_SOURCE_DIR}/fixtures ${CMAKE_CURRENT_BINARY_DIR}/e2e-hfsplus)
