# ext2/3/4 made by mkfs.ext2/3/4 -d and debugfs: prendle-cli list and recover against fls,
# icat and debugfs.
add_test(NAME e2e_ext
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/ext.py $<TARGET_FILE:prendle-cli>
          ${CMAKE_CURRENT_SOURCE_DIR}/fixtures ${CMAKE_CURRENT_BINARY_DIR}/e2e-ext)
