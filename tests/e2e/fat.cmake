# prendle-cli list/recover on the mkfs.fat+mtools fixtures against fls and icat.
add_test(NAME e2e_fat_reference
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/fat_reference.py $<TARGET_FILE:prendle-cli>
          ${CMAKE_CURRENT_SOURCE_DIR}/fixtures ${CMAKE_CURRENT_BINARY_DIR}/e2e-fat)
