# Raw recovery: the unit tests link the carving library; the carve fixture is compared with
# the SHA-256 of every planted file.
target_link_libraries(prendle_unit_tests PRIVATE prendle_raw)
