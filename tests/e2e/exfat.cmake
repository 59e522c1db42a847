# exFAT made by mkfs.exfat and exfat-fuse: prendle-cli list and recover against fls and icat.
add_test(NAME e2e_exfat
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/exfat.py $<TARGET_FILE:prendle-cli>
          ${CMAKE_CURRENT_SOURCE_DIR}/fixtures ${CMAKE_CURRENT_BINARY_DIR}/e2e-exfat)
